// SPDX-License-Identifier: MIT
// Asking every host of a /24 on its directly attached link for its hardware
// address, as ARP does: one request per host, and the replies that come back.
// A host that drops ICMP echo still answers ARP, or it could not talk on the
// link at all. Needs a packet socket, so the right to send raw packets
// (CAP_NET_RAW); only Morvel, which links no Qt, ever holds it.
//
// The replies are gathered by a thread of the probe's own, so that the caller
// only sends and later collects and never waits on the network.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/net/direct_links.h"

namespace platform {

struct ArpReply {
    int host = 0;  // 1 to 255
    std::array<unsigned char, 6> hardware{};
};

class ArpProbe {
  public:
    enum class Start { Probing, NoRight, NotAttached };

    // Finds the subnet's direct links and opens a packet socket on each; no
    // request goes out yet.
    explicit ArpProbe(const Subnet24& subnet);
    ~ArpProbe();
    ArpProbe(const ArpProbe&) = delete;
    ArpProbe& operator=(const ArpProbe&) = delete;

    // Probing when requests can be sent; NoRight without the right to open a
    // packet socket; NotAttached when no host of the subnet is on a link here.
    Start State() const { return state_; }
    // How many hosts one Send asks.
    int Hosts() const;

    // Forgets the replies so far and sends one request to every host on a
    // direct link. False when the probe cannot send (State() != Probing).
    bool Send();
    // The replies to this probe's requests since the last Send, one per host,
    // in the order they came.
    std::vector<ArpReply> Replies() const;

  private:
    struct Socket {
        int fd = -1;
        DirectLink link;
    };
    void Receive();
    void Take(const Socket& socket, const unsigned char* payload, std::size_t size);

    Subnet24 subnet_;
    Start state_ = Start::NotAttached;
    std::vector<Socket> sockets_;
    int stop_ = -1;  // eventfd that ends the receiving thread
    std::thread receiver_;
    mutable std::mutex mutex_;
    std::array<bool, 256> asked_{};  // hosts of the last Send
    std::vector<ArpReply> replies_;
};

}  // namespace platform
