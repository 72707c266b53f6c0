// SPDX-License-Identifier: MIT
// One ICMP echo to a host given as dotted text: does it answer within 200 ms
// (or the caller's time-out)?
// Every call is self-contained (socket start-up, one handle, one request, one
// shutdown) and keeps nothing between calls, so any number of threads may call
// PingHost at once.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace echo {

// A malformed address text: four or more dots, or a part that is empty, not a
// number or out of range. what() names the fault; the continuous ping window
// logs it.
class AddressError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The ICMP part of one echo: open a handle, send `data` to `destination` (the
// address's bytes in memory order), write the first matching reply into the
// 278-byte reply buffer within timeoutMs, close the handle. LocalEcho does it
// in this process; the window program hands it to Morvel where it may not
// open an ICMP socket itself. It may throw; PingHost passes that on.
using Transport =
    std::function<void(std::uint32_t destination, const void* data, std::uint16_t size,
                       unsigned char (&reply)[278], std::uint32_t timeoutMs)>;
void LocalEcho(std::uint32_t destination, const void* data, std::uint16_t size,
               unsigned char (&reply)[278], std::uint32_t timeoutMs);

// True when the host answered one echo request with data within 200 ms (or
// timeoutMs). Blanks around the text are ignored. Throws AddressError for a
// malformed text; nothing is sent.
bool PingHost(const std::string& address);
bool PingHost(const std::string& address, std::uint32_t timeoutMs);
bool PingHost(const std::string& address, const Transport& transport);

// The echo itself, on the trimmed text; fills the 278-byte reply buffer.
void SendEcho(const std::string& address, unsigned char (&reply)[278]);
void SendEcho(const std::string& address, unsigned char (&reply)[278], const Transport& transport);

// Dotted text to the 32-bit address value (first part in the lowest byte).
// Fewer than three dots give 0. Throws AddressError.
std::uint32_t AddressFromText(const std::string& address);

bool StartSockets();
bool StopSockets();
std::uint8_t LowByte(std::uint16_t word);
std::uint8_t HighByte(std::uint16_t word);

}  // namespace echo
