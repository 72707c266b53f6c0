// SPDX-License-Identifier: MIT
// Wake-on-LAN: the "magic packet" a sleeping network card watches for, six
// bytes of FF followed by the card's MAC address sixteen times (102 bytes),
// sent as one UDP datagram to port 9 (discard) of a broadcast address, so
// that it reaches the card whatever address its host had or will have.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace platform {

inline constexpr std::size_t kMagicPacketSize = 102;
inline constexpr std::uint16_t kWakePort = 9;

using MacBytes = std::array<std::uint8_t, 6>;

std::array<std::uint8_t, kMagicPacketSize> MagicPacket(const MacBytes& mac);

// Sends the magic packet for `mac` to `broadcast` (the address's bytes in
// memory order, first octet first) at `port`. 0 when the kernel took the
// whole datagram; otherwise the errno of the step that was refused
// (ENETUNREACH: no interface reaches that address; EACCES or EPERM: a
// firewall or the system refused the broadcast).
int SendMagicPacket(const MacBytes& mac, std::uint32_t broadcast, std::uint16_t port = kWakePort);

}  // namespace platform
