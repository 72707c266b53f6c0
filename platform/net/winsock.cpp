// SPDX-License-Identifier: MIT
#include "platform/net/winsock.h"

#include <cstring>
#include <mutex>

namespace platform {
namespace {

std::mutex stateMutex;  // guards the count and the seams
int startups = 0;
WSAStartupFn startupSeam;
WSACleanupFn cleanupSeam;

constexpr std::uint16_t kHighest = 0x0202;

}  // namespace

int DefaultWSAStartup(std::uint16_t versionRequested, WSADATA* data) {
    const int major = versionRequested & 0xff;
    const int minor = versionRequested >> 8;
    if (major < 1 || (major == 1 && minor < 1)) return kWsaVerNotSupported;
    if (data == nullptr) return 10014;  // WSAEFAULT
    const bool above = major > 2 || (major == 2 && minor > 2);
    *data = WSADATA{};
    data->wVersion = above ? kHighest : versionRequested;
    data->wHighVersion = kHighest;
    std::strcpy(data->szDescription, "Linux sockets");
    std::strcpy(data->szSystemStatus, "Running");
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
    std::lock_guard lock(stateMutex);
    ++startups;
    return 0;
}

int DefaultWSACleanup() {
    std::lock_guard lock(stateMutex);
    if (startups == 0) return kSocketError;
    --startups;
    return 0;
}

int WinsockStartupCount() {
    std::lock_guard lock(stateMutex);
    return startups;
}

int WSAStartup(std::uint16_t versionRequested, WSADATA* data) {
    WSAStartupFn fake;
    {
        std::lock_guard lock(stateMutex);
        fake = startupSeam;
    }
    return fake ? fake(versionRequested, data) : DefaultWSAStartup(versionRequested, data);
}

int WSACleanup() {
    WSACleanupFn fake;
    {
        std::lock_guard lock(stateMutex);
        fake = cleanupSeam;
    }
    return fake ? fake() : DefaultWSACleanup();
}

void SetWSAStartupForTesting(WSAStartupFn fn) {
    std::lock_guard lock(stateMutex);
    startupSeam = std::move(fn);
}

void SetWSACleanupForTesting(WSACleanupFn fn) {
    std::lock_guard lock(stateMutex);
    cleanupSeam = std::move(fn);
}

}  // namespace platform
