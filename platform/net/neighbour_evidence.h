// SPDX-License-Identifier: MIT
// What the kernel's neighbour table says of a /24 without our asking: an
// entry whose hardware address the host confirmed lately (it answered the
// kernel's own ARP request, sent because something, an echo for instance, went
// to it) shows that the host is there. Where nothing may send ARP requests of
// its own, this is the only ARP evidence; it is there only when the kernel
// asked, and while an entry is fresh the kernel does not ask again.
#pragma once

#include <array>
#include <chrono>
#include <vector>

#include "platform/net/direct_links.h"

namespace platform {

struct NeighbourSighting {
    int host = 0;  // 1 to 255
    std::array<unsigned char, 6> hardware{};
};

// The hosts of `subnet` on one of `links` (from DirectLinks) whose neighbour
// entry carries a hardware address confirmed less than `within` ago, in one
// dump of the table. An entry confirmed earlier, an incomplete or failed one,
// and a permanent one (set by hand, never confirmed) are no evidence. The
// table counts in hundredths of a second, so an entry confirmed up to 20 ms
// before that bound may count. Empty when the kernel cannot be asked.
std::vector<NeighbourSighting> ConfirmedNeighbours(const Subnet24& subnet,
                                                   const std::vector<DirectLink>& links,
                                                   std::chrono::milliseconds within);

}  // namespace platform
