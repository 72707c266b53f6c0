// SPDX-License-Identifier: MIT
// ARP requests on behalf of a sweep. Sending them needs a packet socket, so
// the right to send raw packets, which only Morvel may hold: a sweep asks
// Morvel to probe its subnet at the start of a round and collects the replies
// at its end, and learns which hosts that dropped the echo are there all the
// same. Where Morvel holds no such right, the sweep reads the kernel's
// neighbour table instead.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {
class ArpProbe;
}

namespace worker {

class ClassArp {
  public:
    ClassArp();
    ~ClassArp();
    ClassArp(const ClassArp&) = delete;
    ClassArp& operator=(const ClassArp&) = delete;

    // `subnet` is a * 65536 + b * 256 + c for a.b.c. Sends one request to
    // every host of the subnet on a directly attached link and returns how
    // many it asked; 0 when none is on such a link; morvel::kNoArpRight when
    // this process may not send ARP. Throws std::invalid_argument for a
    // number that names no subnet.
    std::int32_t Probe(std::int32_t subnet);
    // "n AA-BB-CC-DD-EE-FF\n" for each host that answered since the last Probe.
    std::string Replies() const;

  private:
    std::int32_t subnet_ = -1;  // the subnet probe_ was made for
    std::unique_ptr<platform::ArpProbe> probe_;
};

}  // namespace worker
