// SPDX-License-Identifier: MIT
// Host names for addresses (reverse look-ups), through the system's resolver
// configuration: /etc/hosts and the name servers of /etc/resolv.conf, in the
// order of /etc/nsswitch.conf. Built on c-ares rather than the C library's
// getnameinfo: c-ares runs any number of look-ups at once on one thread and
// cancels what is still out when asked, where getnameinfo blocks a thread per
// look-up for up to the resolver's whole time-out (5 s a try) and cannot be
// called back, so a name server that never answers would hold a pool of
// threads, and the program's exit, hostage.
//
// Look-ups run on a thread of this object's own; Start never waits on the
// network, and destroying the object cancels what is still out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

class ReverseNames {
  public:
    // Reads the resolver configuration. A configuration that cannot be read
    // leaves Problem() set and every look-up without a name.
    ReverseNames();
    ~ReverseNames();
    ReverseNames(const ReverseNames&) = delete;
    ReverseNames& operator=(const ReverseNames&) = delete;

    const std::string& Problem() const { return problem_; }

    // Starts the look-up of an IPv4 address (memory order, first octet
    // first); an address asked before is not asked again.
    void Start(std::uint32_t address);
    // Waits until every look-up started has ended, or until `deadline`.
    // True when none is still out.
    bool Wait(std::chrono::steady_clock::time_point deadline);
    // The name found for the address; "" when it has none, or none yet.
    std::string Name(std::uint32_t address) const;

    struct Channel;  // c-ares' state, touched only by the look-up thread

  private:
    void Run();
    void Ended(std::uint32_t address, const char* name);

    std::string problem_;
    Channel* channel_ = nullptr;
    int wake_ = -1;  // eventfd: new addresses, or the end
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    bool stopping_ = false;
    std::deque<std::uint32_t> queued_;
    std::map<std::uint32_t, std::string> names_;  // asked, with the name found ("" none)
    int outstanding_ = 0;
};

}  // namespace platform
