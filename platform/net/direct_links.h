// SPDX-License-Identifier: MIT
// Which hosts of a /24 are on a directly attached link, and through which
// interface: the only hosts for which ARP says anything. The routing table
// decides, as it does for the echo: a host behind a gateway, one of this
// machine's own addresses, the broadcast address, or a host without a route
// is on no link here.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace platform {

// The first three octets of a /24, first octet first.
using Subnet24 = std::array<std::uint8_t, 3>;

// Host n of the subnet (0 to 255) as an address in memory order, first octet
// first, as NDA_DST and the ARP payload carry it.
std::uint32_t HostAddress(const Subnet24& subnet, int n);

struct DirectLink {
    int index = 0;                            // the interface
    std::uint32_t source = 0;                 // our address there, memory order
    std::array<unsigned char, 6> hardware{};  // our hardware address there
    std::vector<int> hosts;                   // host numbers reached through it, ascending
};

// The interface through which `destination` (memory order) is reached
// without a gateway, as the echo to it goes; 0 for an address behind a
// gateway, one of this machine's own, a broadcast one, or one without a route.
int DirectInterface(std::uint32_t destination);

// The Ethernet links (ARP on, a 6-byte hardware address) through which hosts
// 1 to 255 of `subnet` are reached without a gateway, one route lookup per
// host; empty when none is, or when the kernel cannot be asked.
std::vector<DirectLink> DirectLinks(const Subnet24& subnet);

}  // namespace platform
