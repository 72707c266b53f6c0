// SPDX-License-Identifier: MIT
// The slot: where one host number of the window meets its ping worker. A named
// block "PingIP<n>" of 1000 single-byte characters, 1-based positions:
//
//   1       state character (command from the window, answer from the worker)
//   2..31   address field: dotted text, left-justified, space-padded to 30
//   32..48  MAC field: "AA-BB-CC-DD-EE-FF", written before the final "0"
//   49..    unused
//
// There is no lock. Three orders of writes carry the hand-over: the window
// writes the address before the command; the worker writes "D" before it reads
// the address, and the MAC before the final "0".
#pragma once

#include <cstdint>
#include <string>

namespace slot {

inline constexpr std::int32_t kSize = 1000;
inline constexpr std::int32_t kStatePos = 1;
inline constexpr std::int32_t kAddressPos = 2;
inline constexpr std::int32_t kAddressLen = 30;
inline constexpr std::int32_t kMacPos = 32;
inline constexpr std::int32_t kMacLen = 17;

// State characters.
inline constexpr char kPing = 'P';      // window: ping the address
inline constexpr char kPingMac = 'M';   // window: ping, and fetch the MAC if it answers
inline constexpr char kBusy = 'D';      // worker: command taken, echo under way
inline constexpr char kAnswered = '0';  // worker: the host answered
inline constexpr char kSilent = '1';    // worker: no answer
inline constexpr char kClose = 'A';     // window: the worker is to stop
inline constexpr char kStopped = 'X';   // worker: stopped

// The state numbers the window's GetPing reports.
inline constexpr std::int32_t kStateBusy = 1, kStateStopped = 2, kStateAnswered = 3,
                              kStateSilent = 4, kStatePing = 5, kStateClose = 6, kStatePingMac = 7,
                              kStateNone = 0;

// "PingIP" followed by the host number in decimal.
inline std::string Name(std::int32_t id) { return "PingIP" + std::to_string(id); }

// The state number of a state character; anything else (a fresh block's zero
// byte included) is kStateNone.
inline std::int32_t StateNumber(char c) {
    switch (c) {
        case kSilent:
            return kStateSilent;
        case kAnswered:
            return kStateAnswered;
        case kBusy:
            return kStateBusy;
        case kPing:
            return kStatePing;
        case kClose:
            return kStateClose;
        case kStopped:
            return kStateStopped;
        case kPingMac:
            return kStatePingMac;
        default:
            return kStateNone;
    }
}

// The address field: the text padded with spaces, or cut, to exactly 30 characters.
inline std::string AddressField(const std::string& address) {
    return (address + std::string(kAddressLen, ' ')).substr(0, kAddressLen);
}

}  // namespace slot
