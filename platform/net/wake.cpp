// SPDX-License-Identifier: MIT
#include "platform/net/wake.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

std::array<std::uint8_t, kMagicPacketSize> MagicPacket(const MacBytes& mac) {
    std::array<std::uint8_t, kMagicPacketSize> packet{};
    std::size_t at = 0;
    for (; at < mac.size(); ++at) packet[at] = 0xFF;
    while (at < packet.size()) {
        std::memcpy(&packet[at], mac.data(), mac.size());
        at += mac.size();
    }
    return packet;
}

int SendMagicPacket(const MacBytes& mac, std::uint32_t broadcast, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    // Without it the kernel refuses any broadcast address with EACCES.
    const int on = 1;
    int error = 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) error = errno;
    if (error == 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        std::memcpy(&to.sin_addr, &broadcast, sizeof broadcast);
        const auto packet = MagicPacket(mac);
        const ssize_t sent = ::sendto(fd, packet.data(), packet.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (sent < 0)
            error = errno;
        else if (static_cast<std::size_t>(sent) != packet.size())
            error = EMSGSIZE;
    }
    ::close(fd);
    return error;
}

}  // namespace platform
