#include "platform/net/winsock.h"

#include <cstring>
#include <mutex>

namespace platform {
namespace {

std::mutex gMutex;  // guards the count and the seams
int gCount = 0;
WSAStartupFn gStartup;
WSACleanupFn gCleanup;

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
    std::lock_guard lock(gMutex);
    ++gCount;
    return 0;
}

int DefaultWSACleanup() {
    std::lock_guard lock(gMutex);
    if (gCount == 0) return kSocketError;
    --gCount;
    return 0;
}

int WinsockStartupCount() {
    std::lock_guard lock(gMutex);
    return gCount;
}

int WSAStartup(std::uint16_t versionRequested, WSADATA* data) {
    WSAStartupFn fake;
    {
        std::lock_guard lock(gMutex);
        fake = gStartup;
    }
    return fake ? fake(versionRequested, data) : DefaultWSAStartup(versionRequested, data);
}

int WSACleanup() {
    WSACleanupFn fake;
    {
        std::lock_guard lock(gMutex);
        fake = gCleanup;
    }
    return fake ? fake() : DefaultWSACleanup();
}

void SetWSAStartupForTesting(WSAStartupFn fn) {
    std::lock_guard lock(gMutex);
    gStartup = std::move(fn);
}

void SetWSACleanupForTesting(WSACleanupFn fn) {
    std::lock_guard lock(gMutex);
    gCleanup = std::move(fn);
}

}  // namespace platform
