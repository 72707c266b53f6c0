// SPDX-License-Identifier: MIT
// The continuous ping window's echo transport. Tessor never runs with a
// capability (Qt loads plugins from paths a user controls), so where
// ping_group_range does not cover the user it may not open an ICMP socket;
// then Morvel, which may, sends the echo through a ClassEcho object of this
// window's own. Otherwise the echo stays in this process. Either way the
// window's side of the echo (address, messages, log) is unchanged.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace platform::objects {
class Ref;
}

namespace windows {

class MorvelEcho {
  public:
    MorvelEcho();
    ~MorvelEcho();
    MorvelEcho(const MorvelEcho&) = delete;
    MorvelEcho& operator=(const MorvelEcho&) = delete;

    // An echo::Transport. Throws platform::objects::ObjectError when Morvel
    // cannot be reached or does not answer in time; the next echo tries
    // again with a new object.
    void Send(std::uint32_t destination, const void* data, std::uint16_t size,
              unsigned char (&reply)[278], std::uint32_t timeoutMs);

  private:
    std::unique_ptr<platform::objects::Ref> echo_;
};

}  // namespace windows
