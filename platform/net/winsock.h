// SPDX-License-Identifier: MIT
// Socket start-up and shutdown as the echo expects them of Winsock: Linux needs
// neither, but the echo's messages depend on their results, so the stand-in
// keeps Winsock's per-process start-up count. Start-up grants the requested
// version (at most 2.2; below 1.1 is refused) with a positive socket count; a
// shutdown without a matching start-up fails with -1.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// The fields of Winsock's start-up record that callers read.
struct WSADATA {
    std::uint16_t wVersion = 0;      // granted: low byte major, high byte minor
    std::uint16_t wHighVersion = 0;  // highest supported, same layout
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
    std::int16_t iMaxSockets = 0;  // read as a signed 16-bit number
    std::uint16_t iMaxUdpDg = 0;
};

constexpr int kWsaVerNotSupported = 10092;
constexpr int kWsaNotInitialised = 10093;
constexpr int kSocketError = -1;

// 0 on success (count raised, `data` filled in); otherwise an error code and
// the count is unchanged.
int WSAStartup(std::uint16_t versionRequested, WSADATA* data);
// 0 on success (count lowered); -1 when nothing is started.
int WSACleanup();

// The real calls, for fakes that wrap them.
int DefaultWSAStartup(std::uint16_t versionRequested, WSADATA* data);
int DefaultWSACleanup();
// The current start-up count of this process.
int WinsockStartupCount();

// Test seam: replaces the calls for the whole process; an empty function
// restores the real one.
using WSAStartupFn = std::function<int(std::uint16_t, WSADATA*)>;
using WSACleanupFn = std::function<int()>;
void SetWSAStartupForTesting(WSAStartupFn fn);
void SetWSACleanupForTesting(WSACleanupFn fn);

}  // namespace platform
