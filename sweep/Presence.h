// SPDX-License-Identifier: MIT
// Which hosts answered ARP in a round: the evidence that a host which dropped
// the echo is there all the same. Where Morvel may send ARP requests (it holds
// cap_net_raw) it asks every host of the subnet at the round's start and the
// replies are collected at its end; where it may not, one dump of the kernel's
// neighbour table at the round's end shows the entries confirmed during the
// round (there only when the kernel itself asked, for an echo). A subnet that
// is not directly attached gives no evidence.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/net/direct_links.h"

namespace platform::objects {
class Ref;
}

namespace sweep {

class Presence {
  public:
    virtual ~Presence() = default;
    // Just before the round's echoes go out.
    virtual void RoundStarts() = 0;
    // At the round's end: the hosts seen by ARP since RoundStarts, each with
    // its MAC as "AA-BB-CC-DD-EE-FF".
    virtual std::map<int, std::string> RoundSeen() = 0;
};

// Evidence by Morvel's ARP requests, or by the neighbour table where Morvel
// may send none. Every call into Morvel waits at most about a second and
// throws platform::objects::ObjectError when Morvel does not answer.
class ArpPresence : public Presence {
  public:
    enum class Source { Requests, NeighbourTable, None };

    explicit ArpPresence(const platform::Subnet24& subnet);
    ~ArpPresence() override;
    void RoundStarts() override;
    std::map<int, std::string> RoundSeen() override;
    // Where the evidence comes from, known after the first RoundStarts.
    Source From() const { return source_; }

  private:
    platform::Subnet24 subnet_;
    Source source_ = Source::Requests;
    std::unique_ptr<platform::objects::Ref> arp_;
    std::vector<platform::DirectLink> links_;  // for the neighbour table
    std::chrono::steady_clock::time_point roundStart_{};
};

// "AA-BB-CC-DD-EE-FF" for six bytes.
std::string MacText(const std::array<unsigned char, 6>& hardware);

}  // namespace sweep
