// SPDX-License-Identifier: MIT
// One ICMP echo on behalf of the window program. Tessor never holds the
// raw-socket right (Qt loads plugins from paths a user controls); where it
// may not open an ICMP socket itself, its continuous ping window has Morvel,
// which links no Qt and may be given cap_net_raw, send the echo. The window
// keeps everything else of the echo (address conversion, messages, log).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace worker {

class ClassEcho {
  public:
    // Bounds on what a caller may ask: the window's reply buffer holds 250
    // bytes of echoed data, and its echo waits 200 ms.
    static constexpr std::size_t kMaxData = 250;
    static constexpr std::int32_t kMaxTimeoutMs = 5000;

    // Sends one echo request carrying `data` to `destination` (the address's
    // bytes in memory order) and returns the data of the matching reply, or
    // the empty text when none came within timeoutMs. Throws
    // std::invalid_argument for data or a time-out beyond the bounds.
    std::string SendEcho(std::uint32_t destination, const std::string& data,
                         std::int32_t timeoutMs);

    // Why this process may send no echo at all (no ping socket and no raw
    // socket is permitted), with the fix; "" when it may. A sweep asks before
    // it starts, so that it is not taken for 255 silent hosts.
    std::string IcmpProblem() const;
};

}  // namespace worker
