// SPDX-License-Identifier: MIT
// The hardware address of an on-link IPv4 host, from the kernel's neighbour
// table (rtnetlink), standing in for the IP helper's SendARP. Only a complete
// entry on the interface that the route to the host goes out of counts:
// reachable, stale, delay, probe, permanent, or a no-ARP entry with a non-zero
// address. One of this machine's own addresses, which the neighbour table
// never holds, gives the address of the interface that holds it. An
// incomplete or failed entry, loopback (its address is all zeros), an
// off-link host or no entry at all leave the buffer as it was.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/process/winerror.h"

namespace platform {

// `destination` and `source` are addresses in memory order (first octet
// first); `source` is not used (any). On success the address fills `mac` and
// `*macLength` becomes 6; `*macLength` must be at least 6 on entry.
std::uint32_t SendARP(std::uint32_t destination, std::uint32_t source, void* mac,
                      std::uint32_t* macLength);

// Test seam: replaces SendARP for the whole process; empty restores the real one.
using SendArpFn = std::function<std::uint32_t(std::uint32_t, std::uint32_t, void*, std::uint32_t*)>;
void SetSendArpForTesting(SendArpFn fn);

}  // namespace platform
