// SPDX-License-Identifier: MIT
// A test LAN of silent and answering hosts with real MAC addresses, built
// inside the test's own (already private) network namespace.
//
// Layout: this namespace holds the scanner side of a veth pair, "tlan0", with
// 192.0.2.254/24 and MAC 02:00:00:00:00:FE (Mac(kScannerHost)). Its peer
// lives in a second namespace, the hosts' one, which only this object holds
// open (closing it, also by a crash, removes it all). There every answering
// host n is a macvlan "hN" on the peer with MAC
// 02:00:00:00:00:NN (NN = n in hex) and address 192.0.2.n, answering ARP only
// for its own address (arp_ignore=1) and replying from its own interface
// (a routing table per host). A host that does not answer has no interface.
//
// A host can be made to drop the echo requests sent to it (it still answers
// ARP, as a firewalled PC does), to answer them late, or to drop the name
// queries sent to it; a host can serve names (dnsmasq) to the scanner side.
//
// The fixture talks to the kernel through `ip` (iproute2) and `nft`
// (nftables), run with fork/exec and fixed arguments. Fixtures in parallel
// test processes that share one network namespace take turns through a lock
// file named after the namespace.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace testsupport {

class TestLan {
  public:
    static constexpr const char* kSubnet = "192.0.2";  // first three octets
    static constexpr int kScannerHost = 254;           // our side: answers as a local address
    static constexpr int kFirstHost = 1;
    static constexpr int kLastHost = 253;

    // True when a TestLan can be built here; otherwise `why` (if given) says
    // why, for GTEST_SKIP. Refuses where a default route exists, in the
    // initial network namespace, without root, without `ip`, or where network
    // namespaces cannot be created. With VARNEX_REQUIRE_LAN=1 (scripts/test.sh)
    // a refusal is also a failure of the running test.
    static bool Usable(std::string* why = nullptr);

    // Builds the LAN with the given answering hosts (each kFirstHost..kLastHost)
    // and returns when each of them answers an echo, with the neighbour table
    // emptied again.
    // Waits (bounded) for a LAN of another process in this namespace to go.
    // Throws std::runtime_error with the failing command on any failure, after
    // removing what was built.
    explicit TestLan(const std::set<int>& answering);
    ~TestLan();
    TestLan(const TestLan&) = delete;
    TestLan& operator=(const TestLan&) = delete;

    // Adds (true) or removes (false) host n's interface, between rounds. An
    // added host answers when this returns; the neighbour entries of the others
    // are kept.
    void SetAnswering(int n, bool answering);
    const std::set<int>& Answering() const { return answering_; }

    // "192.0.2.n"
    static std::string Address(int n);
    // The MAC of host n in LookupMac's form, "02-00-00-00-00-07" for 7.
    static std::string Mac(int n);
    // {first, ..., last}
    static std::set<int> Range(int first, int last);

    // Runs `ip args...` in the hosts' namespace (for tests that need more,
    // e.g. a neighbour entry); throws std::runtime_error on failure.
    void IpInHosts(const std::initializer_list<std::string>& args) const;

    // From now on for the LAN's life, host n (which need not answer yet)
    // drops every echo request sent to it, through an nftables rule in the
    // hosts' namespace; it still answers ARP.
    void DropEcho(int n);
    // Host n answers every echo request `delay` late: its own answer is
    // dropped as by DropEcho, and a responder on a packet socket in the hosts'
    // namespace, which still sees each request, answers it after `delay`.
    void AnswerEchoAfter(int n, std::chrono::milliseconds delay);
    // Host n drops every name query sent to it (port 53): a name server that
    // never answers.
    void DropDns(int n);
    // Runs a name server (dnsmasq) on host n, which must answer, with a PTR
    // record "host -> name" for each entry of `names`; it answers for the
    // LAN's reverse zone alone, so another host of the LAN has no name. It
    // stops with the LAN. Throws std::runtime_error when it does not start.
    void ServeNames(int n, const std::map<int, std::string>& names);
    // A UDP socket bound to `port` on host n's interface, in the hosts'
    // namespace: it receives what reaches that host (broadcasts included).
    // The caller closes it. Throws std::runtime_error when it cannot be made.
    int UdpSocketOnHost(int n, unsigned short port) const;

  private:
    struct Responder;
    void Build();
    void Teardown() noexcept;
    void AddHost(int n);
    void RemoveHost(int n);
    void WaitUntilAnswering(const std::set<int>& hosts) const;
    void AddNftRule(const std::string& rule);

    std::set<int> answering_;
    std::set<int> quietEcho_;  // hosts whose echo comes late or never
    bool nftTable_ = false;
    std::vector<std::unique_ptr<Responder>> responders_;
    pid_t nameServer_ = -1;
    std::string lockPath_;
    int lockFd_ = -1;
    int hostsNs_ = -1;  // holds the hosts' namespace open
};

// Points the calling thread, and the programs it starts from now on, at
// another resolv.conf and hosts file: bind mounts in a mount namespace that
// this makes for the thread, private, so that no other process sees them
// (threads started earlier keep the real files). Undone on destruction.
class ResolverFiles {
  public:
    // The two files' texts, e.g. "nameserver 192.0.2.53\n" and "".
    ResolverFiles(const std::string& resolvConf, const std::string& hosts);
    ~ResolverFiles();
    ResolverFiles(const ResolverFiles&) = delete;
    ResolverFiles& operator=(const ResolverFiles&) = delete;
    // Why the files could not be put in place; "" when they are.
    const std::string& Problem() const { return problem_; }

  private:
    std::string problem_;
    std::vector<std::string> mounted_;
};

// Moves the calling thread (call it from the main thread before any test
// thread starts, so they inherit it) into a fresh network namespace with
// loopback up, for tests that change per-namespace settings such as
// net.ipv4.ping_group_range. False (and `why`) when that is not possible.
bool EnterPrivateNetwork(std::string* why = nullptr);

// True when the calling thread's network namespace is not the machine's own
// (VARNEX_MACHINE_NETNS, the inode number of its /proc/self/ns/net, where
// /proc/1 is not the machine's init) and has no default route: the only
// place where a test may forge packets.
// Otherwise false, with `why` (if given) for GTEST_SKIP.
bool Isolated(std::string* why = nullptr);

// A test binary registers it as a global environment to run every test in a
// private network of its own (EnterPrivateNetwork before the first test).
// Failure() tells why that was not possible; it is empty once entered.
class PrivateNetwork : public testing::Environment {
  public:
    void SetUp() override;
    static const std::string& Failure();
};

// Writes a value under /proc/sys for the calling thread's namespace, e.g.
// WriteSysctl("net/ipv4/ping_group_range", "0 0"). False on failure.
bool WriteSysctl(const std::string& key, const std::string& value);

}  // namespace testsupport
