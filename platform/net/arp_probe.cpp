// SPDX-License-Identifier: MIT
#include "platform/net/arp_probe.h"

#include <arpa/inet.h>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

// An ARP packet for IPv4 over Ethernet, as it travels (RFC 826).
constexpr std::size_t kArpSize = 28;
constexpr std::uint16_t kRequest = 1, kReply = 2;

std::array<unsigned char, kArpSize> Request(const DirectLink& link, std::uint32_t target) {
    std::array<unsigned char, kArpSize> p{};
    const std::uint16_t head[4] = {htons(ARPHRD_ETHER), htons(ETH_P_IP), 0, htons(kRequest)};
    std::memcpy(p.data(), head, 8);
    p[4] = 6;  // hardware address length
    p[5] = 4;  // protocol address length
    std::memcpy(p.data() + 8, link.hardware.data(), 6);
    std::memcpy(p.data() + 14, &link.source, 4);
    // Target hardware address stays zero: that is what is asked.
    std::memcpy(p.data() + 24, &target, 4);
    return p;
}

}  // namespace

ArpProbe::ArpProbe(const Subnet24& subnet) : subnet_(subnet) {
    std::vector<DirectLink> links = DirectLinks(subnet);
    if (links.empty()) return;
    for (DirectLink& link : links) {
        const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP));
        if (fd < 0) {
            // EPERM/EACCES: no CAP_NET_RAW. Anything else (out of descriptors)
            // leaves this probe unable to send as well.
            state_ = Start::NoRight;
            for (Socket& s : sockets_) close(s.fd);
            sockets_.clear();
            return;
        }
        sockaddr_ll where{};
        where.sll_family = AF_PACKET;
        where.sll_protocol = htons(ETH_P_ARP);
        where.sll_ifindex = link.index;
        if (bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
            close(fd);
            continue;  // the interface went away meanwhile
        }
        sockets_.push_back({fd, std::move(link)});
    }
    if (sockets_.empty()) return;
    stop_ = eventfd(0, EFD_CLOEXEC);
    if (stop_ < 0) {
        for (Socket& s : sockets_) close(s.fd);
        sockets_.clear();
        state_ = Start::NoRight;
        return;
    }
    state_ = Start::Probing;
    receiver_ = std::thread([this] { Receive(); });
}

ArpProbe::~ArpProbe() {
    if (receiver_.joinable()) {
        const std::uint64_t one = 1;
        (void)!write(stop_, &one, sizeof one);
        receiver_.join();
    }
    if (stop_ >= 0) close(stop_);
    for (Socket& s : sockets_) close(s.fd);
}

int ArpProbe::Hosts() const {
    std::size_t n = 0;
    for (const Socket& s : sockets_) n += s.link.hosts.size();
    return static_cast<int>(n);
}

bool ArpProbe::Send() {
    if (state_ != Start::Probing) return false;
    {
        std::lock_guard lock(mutex_);
        replies_.clear();
        asked_.fill(false);
        for (const Socket& s : sockets_)
            for (int n : s.link.hosts) asked_[static_cast<std::size_t>(n)] = true;
    }
    for (const Socket& s : sockets_) {
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_protocol = htons(ETH_P_ARP);
        to.sll_ifindex = s.link.index;
        to.sll_halen = 6;
        std::memset(to.sll_addr, 0xff, 6);  // broadcast
        for (int n : s.link.hosts) {
            const auto request = Request(s.link, HostAddress(subnet_, n));
            // A full send queue loses this one request; the host is then
            // only not seen by ARP in this round.
            while (sendto(s.fd, request.data(), request.size(), 0,
                          reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0 &&
                   errno == EINTR) {
            }
        }
    }
    return true;
}

std::vector<ArpReply> ArpProbe::Replies() const {
    std::lock_guard lock(mutex_);
    return replies_;
}

void ArpProbe::Receive() {
    std::vector<pollfd> fds;
    for (const Socket& s : sockets_) fds.push_back({s.fd, POLLIN, 0});
    fds.push_back({stop_, POLLIN, 0});
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds.back().revents) return;
        for (std::size_t i = 0; i < sockets_.size(); ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].revents & POLLNVAL) {
                fds[i].fd = -1;  // never again
                continue;
            }
            // Also on an error alone (the link went down): the read takes
            // it, or poll would report it again at once.
            for (;;) {
                unsigned char buf[256];
                sockaddr_ll from{};
                socklen_t fromLength = sizeof from;
                const ssize_t n = recvfrom(sockets_[i].fd, buf, sizeof buf, MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr*>(&from), &fromLength);
                if (n < 0) break;
                // Our own requests pass the socket on their way out.
                if (from.sll_pkttype != PACKET_OUTGOING)
                    Take(sockets_[i], buf, static_cast<std::size_t>(n));
            }
        }
    }
}

void ArpProbe::Take(const Socket& socket, const unsigned char* p, std::size_t size) {
    if (size < kArpSize) return;
    std::uint16_t head[4];
    std::memcpy(head, p, 8);
    if (ntohs(head[0]) != ARPHRD_ETHER || ntohs(head[1]) != ETH_P_IP || p[4] != 6 || p[5] != 4 ||
        ntohs(head[3]) != kReply) {
        return;
    }
    // A reply to us (not an announcement, not another machine's), from a host
    // of the subnet on this link, with a real unicast hardware address.
    std::uint32_t sender, target;
    std::memcpy(&sender, p + 14, 4);
    std::memcpy(&target, p + 24, 4);
    if (target != socket.link.source) return;
    const auto* s = reinterpret_cast<const unsigned char*>(&sender);
    if (s[0] != subnet_[0] || s[1] != subnet_[1] || s[2] != subnet_[2]) return;
    const int host = s[3];
    std::array<unsigned char, 6> hardware;
    std::memcpy(hardware.data(), p + 8, 6);
    static const std::array<unsigned char, 6> zero{};
    if (hardware == zero || (hardware[0] & 0x01)) return;
    std::lock_guard lock(mutex_);
    if (!asked_[static_cast<std::size_t>(host)]) return;
    if (std::any_of(replies_.begin(), replies_.end(),
                    [&](const ArpReply& r) { return r.host == host; }))
        return;
    replies_.push_back({host, hardware});
}

}  // namespace platform
