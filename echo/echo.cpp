// SPDX-License-Identifier: MIT
#include "echo/echo.h"

#include <climits>
#include <cstring>

#include "platform/net/icmp.h"
#include "platform/net/winsock.h"
#include "platform/process/msgbox.h"

namespace echo {
namespace {

constexpr std::uint16_t kVersionRequested = 0x0101;
constexpr int kMinMajor = 1;
constexpr int kMinMinor = 1;
constexpr int kMinSockets = 1;
constexpr char kPayload[] = "My Request";
constexpr std::uint16_t kPayloadSize = 10;
constexpr std::uint32_t kTimeoutMs = 200;

// Errors quote the part, cut short so a pasted screenful stays one log line.
std::string Quote(const std::string& text) {
    constexpr size_t kMax = 40;
    if (text.size() <= kMax) return "\"" + text + "\"";
    return "\"" + text.substr(0, kMax) + "...\"";
}

// One part as a signed 32-bit decimal number; blanks around the digits allowed.
std::int32_t ParsePart(const std::string& part, int index) {
    size_t b = part.find_first_not_of(' ');
    size_t e = part.find_last_not_of(' ');
    const std::string name = "part " + std::to_string(index) + " (" + Quote(part) + ")";
    if (b == std::string::npos) {
        throw AddressError("Invalid address: " + name + " is empty, not a number");
    }
    const std::string digits = part.substr(b, e - b + 1);
    size_t i = 0;
    bool negative = false;
    if (digits[0] == '-' || digits[0] == '+') {
        negative = digits[0] == '-';
        i = 1;
    }
    if (i == digits.size()) throw AddressError("Invalid address: " + name + " is not a number");
    std::int64_t value = 0;
    bool tooLarge = false;
    for (; i < digits.size(); ++i) {
        const char c = digits[i];
        if (c < '0' || c > '9') {
            throw AddressError("Invalid address: " + name + " is not a number");
        }
        if (!tooLarge) {
            value = value * 10 + (c - '0');
            if (value > static_cast<std::int64_t>(INT32_MAX) + 1) tooLarge = true;
        }
    }
    if (negative) value = -value;
    if (tooLarge || value > INT32_MAX || value < INT32_MIN) {
        throw AddressError("Invalid address: " + name +
                           " is out of range (beyond the signed 32-bit numbers)");
    }
    return static_cast<std::int32_t>(value);
}

std::string TrimSpaces(const std::string& text) {
    const size_t b = text.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return text.substr(b, text.find_last_not_of(' ') - b + 1);
}

}  // namespace

std::uint8_t LowByte(std::uint16_t word) { return static_cast<std::uint8_t>(word & 0xff); }

std::uint8_t HighByte(std::uint16_t word) { return static_cast<std::uint8_t>(word >> 8); }

bool StartSockets() {
    platform::WSADATA data{};
    const int rc = platform::WSAStartup(kVersionRequested, &data);
    if (rc != 0) {
        platform::ShowMessage(
            "Windows Sockets for 32 bit Windows environments is not successfully responding.",
            platform::MsgIcon::None);
        return false;
    }
    const int major = LowByte(data.wVersion);
    const int minor = HighByte(data.wVersion);
    if (major < kMinMajor || (major == kMinMajor && minor < kMinMinor)) {
        platform::ShowMessage("Windows Sockets Version " + std::to_string(major) + "." +
                                  std::to_string(minor) +
                                  " is not supported by Windows Sockets for 32 bit Windows "
                                  "environments.",
                              platform::MsgIcon::Warning);
        return false;
    }
    if (data.iMaxSockets < kMinSockets) {
        platform::ShowMessage("This application requires a minimum of " +
                                  std::to_string(kMinSockets) + " supported sockets.",
                              platform::MsgIcon::Warning);
        return false;
    }
    return true;
}

bool StopSockets() {
    const int rc = platform::WSACleanup();
    if (rc != 0) {
        platform::ShowMessage(
            "Windows Sockets error " + std::to_string(rc) + " occurred in Cleanup.",
            platform::MsgIcon::Warning);
        return false;
    }
    return true;
}

std::uint32_t AddressFromText(const std::string& address) {
    std::string parts[4];
    int count = 1;
    for (char c : address) {
        if (c == '.') {
            if (count == 4) {
                throw AddressError("Invalid address: " + Quote(address) +
                                   " has too many parts (at most four, three dots)");
            }
            ++count;
        } else {
            parts[count - 1] += c;
        }
    }
    if (count != 4) return 0;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        const auto low =
            static_cast<std::uint8_t>(static_cast<std::uint32_t>(ParsePart(parts[i], i + 1)));
        value |= static_cast<std::uint32_t>(low) << (8 * i);
    }
    return value;
}

void LocalEcho(std::uint32_t destination, const void* data, std::uint16_t size,
               unsigned char (&reply)[278], std::uint32_t timeoutMs) {
    platform::IcmpHandle handle = platform::IcmpCreateFile();
    platform::IcmpSendEcho(handle, destination, data, size, nullptr, reply, sizeof reply,
                           timeoutMs);
    platform::IcmpCloseHandle(handle);
}

void SendEcho(const std::string& address, unsigned char (&reply)[278]) {
    SendEcho(address, reply, LocalEcho);
}

void SendEcho(const std::string& address, unsigned char (&reply)[278], const Transport& transport) {
    // Converted first: a malformed text sends nothing and leaves nothing to balance.
    const std::uint32_t value = AddressFromText(address);
    // The ICMP layer takes the address's bytes in memory order, first octet
    // first, which is this value's layout on the little-endian hosts we build for.
    std::uint32_t destination = 0;
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    std::memcpy(&destination, bytes, 4);
    StartSockets();
    try {
        transport(destination, kPayload, kPayloadSize, reply, kTimeoutMs);
    } catch (...) {
        StopSockets();
        throw;
    }
    StopSockets();
}

bool PingHost(const std::string& address) { return PingHost(address, LocalEcho); }

bool PingHost(const std::string& address, std::uint32_t timeoutMs) {
    // The echo's own time-out gives way to the caller's.
    return PingHost(address,
                    [timeoutMs](std::uint32_t destination, const void* data, std::uint16_t size,
                                unsigned char(&reply)[278], std::uint32_t) {
                        LocalEcho(destination, data, size, reply, timeoutMs);
                    });
}

bool PingHost(const std::string& address, const Transport& transport) {
    unsigned char reply[278] = {};
    StartSockets();
    bool answered = false;
    try {
        SendEcho(TrimSpaces(address), reply, transport);
        std::uint16_t dataSize = 0;
        std::memcpy(&dataSize, reply + platform::echo_reply::kDataSize, sizeof dataSize);
        answered = dataSize != 0;
    } catch (...) {
        StopSockets();  // every start-up is balanced, also on the error path
        throw;
    }
    StopSockets();
    return answered;
}

}  // namespace echo
