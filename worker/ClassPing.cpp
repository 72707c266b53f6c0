// SPDX-License-Identifier: MIT
#include "worker/ClassPing.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "contract/CCShareString.h"
#include "contract/slot.h"
#include "echo/echo.h"
#include "platform/process/msgbox.h"
#include "platform/threads/apartment.h"
#include "worker/Mac.h"

namespace worker {

namespace {

bool Echo(const std::string& address, std::uint32_t timeoutMs) {
    return echo::PingHost(address, timeoutMs);
}

const Net kRealNet{&Echo, &LookupMac};
std::atomic<const Net*> currentNet{&kRealNet};

}  // namespace

CCShareString& SlotBlock() {
    // Lives as long as the apartment's thread, and is released with it.
    thread_local std::unique_ptr<CCShareString> block;
    if (!block) block = std::make_unique<CCShareString>();
    return *block;
}

std::string& TargetIp() {
    thread_local std::string target;
    return target;
}

void SetNetForTesting(const Net* net) { currentNet = net ? net : &kRealNet; }

namespace {

// The address comes from another process's bytes: keep control characters
// out of the log line.
std::string Printable(const std::string& s) {
    std::string out = s;
    for (char& ch : out)
        if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) >= 0x7f)
            ch = '?';
    return out;
}

}  // namespace

ClassPing::~ClassPing() = default;

void ClassPing::Create(std::int32_t ID, std::int32_t timeoutMs) {
    if (ID < 1 || ID > 255)
        throw std::out_of_range("ClassPing.Create: the ID " + std::to_string(ID) +
                                " is not a host number from 1 to 255");
    if (timeoutMs < kMinTimeoutMs || timeoutMs > kMaxTimeoutMs)
        throw std::out_of_range("ClassPing.Create: the time-out " + std::to_string(timeoutMs) +
                                " ms is not " + std::to_string(kMinTimeoutMs) + " to " +
                                std::to_string(kMaxTimeoutMs) + " ms");
    timeoutMs_ = timeoutMs;
    // The earlier timer goes first, so its system timer stops before the new one starts.
    Timer1_.reset();
    Timer1_ = std::make_unique<Timer>();
    Timer1_->OnTimer([this] { Timer1_Timer(); });
    SlotBlock().Create(slot::Name(ID), slot::kSize);  // result not looked at
    Timer1_->Interval(50);
    Timer1_->Enabled(true);
    // A tick that finds no command does nothing: let the process's watcher read
    // the state byte and wake this thread only for a command or a close.
    static constexpr char kTaken[] = {slot::kPing, slot::kPingMac, slot::kClose};
    if (const unsigned char* state = SlotBlock().ByteAddress(slot::kStatePos);
        state && Timer1_->TimerId() != 0)
        platform::WatchTimer(Timer1_->TimerId(), state, std::string_view(kTaken, sizeof kTaken));
}

void ClassPing::StopIt() {
    if (Timer1_) Timer1_->Enabled(false);
}

void ClassPing::Timer1_Timer() {
    CCShareString& block = SlotBlock();
    const char c = block.ReadByte(slot::kStatePos);
    if (c == slot::kPing || c == slot::kPingMac) {
        block.WriteByte(slot::kBusy, slot::kStatePos);
        // "D" must be visible before the address is read: a store followed by
        // loads, which neither release nor acquire orders; only a full fence does.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        std::string& target = TargetIp();
        target = block.getStr(slot::kAddressPos, slot::kAddressLen);
        std::erase(target, '\0');
        std::erase(target, ' ');
        const Net& net = *currentNet.load();
        bool answered = false;
        try {
            answered = net.PingHost(target, static_cast<std::uint32_t>(timeoutMs_));
        } catch (const std::exception& e) {
            // A malformed address (or any other failure of the echo) would
            // otherwise leave the slot in "D" and the window waiting on it for
            // ever: report it as not answered and keep serving.
            platform::LogLine("Morvel: echo to \"%s\" failed: %s", Printable(target).c_str(),
                              e.what());
        }
        if (answered && c == slot::kPingMac) {
            std::string mac;
            try {
                mac = net.LookupMac(target);
            } catch (const std::exception&) {
                mac = "00-00-00-00-00-00";  // what a failed lookup gives
            }
            block.setStr(mac, slot::kMacPos);
        }
        block.WriteByte(answered ? slot::kAnswered : slot::kSilent, slot::kStatePos);
    } else if (c == slot::kClose) {
        block.WriteByte(slot::kStopped, slot::kStatePos);
        Timer1_->Enabled(false);
    }
}

}  // namespace worker
