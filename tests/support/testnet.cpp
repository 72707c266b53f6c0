// SPDX-License-Identifier: MIT
#include "tests/support/testnet.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "platform/net/icmp.h"
#include "tests/support/children.h"
#include "tests/support/isolation.h"

namespace testsupport {
namespace {

constexpr const char* kScannerLink = "tlan0";
constexpr const char* kHostsLink = "tlan1";
constexpr int kTableBase = 1000;  // host n replies through routing table kTableBase + n

// The first of the system's folders that holds program `name`; "" when none.
std::string SystemTool(const char* name) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        const std::string path = std::string(dir) + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

const char* IpBinary() {
    static const std::string ip = SystemTool("ip");
    return ip.empty() ? nullptr : ip.c_str();
}

std::string Join(const char* tool, const std::vector<std::string>& args) {
    std::string s = tool;
    for (const auto& a : args) s += " " + a;
    return s;
}

// Runs `tool args...` (a system program: ip, nft) in the namespace nsFd (-1:
// the calling thread's), feeding `input` to its standard input. Returns its
// exit status; `err` gets its output (standard output and error). Nothing
// goes through a shell.
int RunTool(const char* tool, const std::vector<std::string>& args, int nsFd,
            const std::string& input, std::string* err) {
    const std::string path = SystemTool(tool);
    if (path.empty()) {
        if (err) *err = std::string(tool) + " not found";
        return 127;
    }
    const char* binary = path.c_str();
    std::vector<std::string> argvStore{tool};
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    int inPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0) return 126;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(inPipe[0]);
        close(inPipe[1]);
        return 126;
    }
    pid_t pid = Fork([&] {
        // Only async-signal-safe calls here: the parent may have threads.
        if (nsFd >= 0 && setns(nsFd, CLONE_NEWNET) != 0) return 125;
        dup2(inPipe[0], 0);
        dup2(errPipe[1], 1);
        dup2(errPipe[1], 2);
        execv(binary, argv.data());
        return 127;
    });
    close(inPipe[0]);
    close(errPipe[1]);
    if (pid < 0) {
        close(inPipe[1]);
        close(errPipe[0]);
        if (err) *err = std::string("fork: ") + std::strerror(errno);
        return 126;
    }
    // Small inputs (a batch of a few hundred short lines) fit the pipe; ip
    // reads all of its input before it exits in any case.
    size_t off = 0;
    while (off < input.size()) {
        ssize_t n = write(inPipe[1], input.data() + off, input.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    close(inPipe[1]);
    std::string text;
    char buf[512];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        pollfd p{errPipe[0], POLLIN, 0};
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0) {
            Signal(pid, SIGKILL);  // never hang a test on a stuck tool
            text += "(killed after 60 s)";
            break;
        }
        int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        ssize_t n = read(errPipe[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(errPipe[0]);
    const int code = Wait(pid).value_or(128);
    if (err) *err = text;
    return code;
}

int RunIp(const std::vector<std::string>& args, int nsFd, const std::string& input,
          std::string* err) {
    return RunTool("ip", args, nsFd, input, err);
}

void MustRun(const char* tool, const std::vector<std::string>& args, int nsFd,
             const std::string& input = {}) {
    std::string err;
    int rc = RunTool(tool, args, nsFd, input, &err);
    if (rc != 0) {
        throw std::runtime_error("test LAN: `" + Join(tool, args) + "` failed (" +
                                 std::to_string(rc) + "): " + err);
    }
}

void MustIp(const std::vector<std::string>& args, int nsFd, const std::string& input = {}) {
    MustRun("ip", args, nsFd, input);
}

bool WriteProcSys(const std::string& key, const std::string& value) {
    int fd = open(("/proc/sys/" + key).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = write(fd, value.data(), value.size());
    close(fd);
    return n == static_cast<ssize_t>(value.size());
}

ino_t NetNsInode(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) return 0;
    return st.st_ino;
}

// True when the routing table of the calling thread's namespace has a usable
// default route (IPv4 or IPv6); "unreachable" placeholders do not count.
bool HasDefaultRoute() {
    std::ifstream v4("/proc/thread-self/net/route");
    std::string line;
    std::getline(v4, line);  // header
    while (std::getline(v4, line)) {
        std::istringstream in(line);
        std::string iface, dest, gw, flags, refcnt, use, metric, mask;
        in >> iface >> dest >> gw >> flags >> refcnt >> use >> metric >> mask;
        if (dest == "00000000" && mask == "00000000") return true;
    }
    std::ifstream v6("/proc/thread-self/net/ipv6_route");
    while (std::getline(v6, line)) {
        std::istringstream in(line);
        std::string dest, plen, src, slen, next, metric, refcnt, use, flags, dev;
        in >> dest >> plen >> src >> slen >> next >> metric >> refcnt >> use >> flags >> dev;
        constexpr unsigned long kRtfReject = 0x0200;
        if (dest == std::string(32, '0') && plen == "00" && dev != "lo" &&
            (std::strtoul(flags.c_str(), nullptr, 16) & kRtfReject) == 0) {
            return true;
        }
    }
    return false;
}

// Creates a network namespace on a short-lived thread (unshare affects only the
// calling thread) and returns a descriptor that keeps it alive. The settings
// that every host interface inherits are made before any interface exists.
int CreateHostsNamespace(std::string* err) {
    int fd = -1;
    std::thread t([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            *err = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
            return;
        }
        // Each host answers ARP only for its own address; no reverse-path
        // filter, since all hosts share one subnet on one wire.
        for (const char* scope : {"all", "default"}) {
            std::string base = std::string("net/ipv4/conf/") + scope + "/";
            WriteProcSys(base + "arp_ignore", "1");
            WriteProcSys(base + "arp_announce", "2");
            WriteProcSys(base + "rp_filter", "0");
            WriteProcSys(std::string("net/ipv6/conf/") + scope + "/disable_ipv6", "1");
        }
        fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (fd < 0) *err = std::string("open netns: ") + std::strerror(errno);
    });
    t.join();
    return fd;
}

std::string LockPath() {
    const char* dir = access("/run/lock", W_OK) == 0 ? "/run/lock" : "/tmp";
    return std::string(dir) + "/varnex-testlan-" +
           std::to_string(NetNsInode("/proc/thread-self/ns/net")) + ".lock";
}

// Takes the per-namespace lock, waiting at most `limit`. The holder unlinks the
// file before it unlocks, so a waiter re-checks that it locked the live file.
int TakeLock(const std::string& path, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) throw std::runtime_error("test LAN: cannot open lock " + path);
        while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                close(fd);
                throw std::runtime_error("test LAN: another test kept " + path + " too long");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        struct stat held {
        }, live{};
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &live) == 0 && held.st_ino == live.st_ino &&
            held.st_dev == live.st_dev) {
            return fd;
        }
        close(fd);  // the previous holder removed it meanwhile: lock the new one
    }
}

// True when every listed link is up with its carrier and its queueing
// discipline attached: until the kernel's link watcher has done that (it runs
// late under load), a link drops what it is given, and a lost first ARP
// request delays a host's first answer by a second.
bool LinksReady(const std::vector<std::string>& args, int nsFd) {
    std::string out;
    if (RunIp(args, nsFd, {}, &out) != 0) return false;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        // Only the links' lines ("3: tlan0@if2: <...>"): ip also says here
        // what it could not resolve, such as a stale entry of /run/netns.
        if (line.empty() || line.front() < '0' || line.front() > '9') continue;
        if (line.find(" lo:") != std::string::npos) continue;
        if (line.find("qdisc noop") != std::string::npos ||
            line.find("LOWER_UP") == std::string::npos) {
            return false;
        }
    }
    return true;
}

// One echo to each host until it answers, so that a test's first echo does
// not meet a half-built LAN. False when a host stays silent until `deadline`.
bool HostsAnswer(const std::set<int>& hosts, std::chrono::steady_clock::time_point deadline) {
    for (int n : hosts) {
        in_addr a{};
        inet_pton(AF_INET, TestLan::Address(n).c_str(), &a);
        for (;;) {
            unsigned char reply[278] = {};
            platform::IcmpHandle h = platform::IcmpCreateFile();
            if (h == nullptr) return true;  // cannot check without an ICMP socket
            const auto got =
                platform::IcmpSendEcho(h, a.s_addr, "probe", 5, nullptr, reply, sizeof reply, 200);
            platform::IcmpCloseHandle(h);
            if (got != 0) break;
            if (std::chrono::steady_clock::now() > deadline) return false;
        }
    }
    return true;
}

std::string Hex2(int n) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", n & 0xff);
    return buf;
}

std::string HostCommands(int n, bool add) {
    const std::string link = "h" + std::to_string(n);
    const std::string addr = TestLan::Address(n);
    const std::string table = std::to_string(kTableBase + n);
    if (!add) {
        return "link del " + link + "\nrule del from " + addr + " lookup " + table + "\n";
    }
    return "link add " + link + " link " + kHostsLink + " address 02:00:00:00:00:" + Hex2(n) +
           " type macvlan mode bridge\n" + "addr add " + addr + "/24 dev " + link +
           " noprefixroute\n" + "link set " + link + " up\n" + "route add " + TestLan::kSubnet +
           ".0/24 dev " + link + " src " + addr + " table " + table + "\n" + "rule add from " +
           addr + " lookup " + table + "\n";
}

// Where the run promises a test LAN (scripts/test.sh sets VARNEX_REQUIRE_LAN=1),
// a test that would skip for want of one fails instead: a skip there is a
// broken fixture, not a machine without the means.
bool LanRequired() {
    const char* required = std::getenv("VARNEX_REQUIRE_LAN");
    return required && std::string(required) == "1";
}

void CheckHost(int n) {
    if (n < TestLan::kFirstHost || n > TestLan::kLastHost) {
        throw std::invalid_argument("test LAN: host number " + std::to_string(n) +
                                    " is outside 1..253");
    }
}

// The Internet checksum (RFC 1071) of `size` bytes.
std::uint16_t Checksum(const unsigned char* p, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) sum += (p[i] << 8) | p[i + 1];
    if (size % 2) sum += p[size - 1] << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

void PutChecksum(unsigned char* at, std::uint16_t sum) {
    at[0] = static_cast<unsigned char>(sum >> 8);
    at[1] = static_cast<unsigned char>(sum);
}

// The Ethernet frame that answers the echo request `frame` to `address`
// (memory order); empty when the frame is anything else.
std::vector<unsigned char> EchoReplyTo(const unsigned char* frame, std::size_t size,
                                       std::uint32_t address) {
    constexpr std::size_t kEth = 14;
    if (size < kEth + 20 || frame[12] != 0x08 || frame[13] != 0x00) return {};
    const unsigned char* ip = frame + kEth;
    const std::size_t ihl = (ip[0] & 0x0f) * 4u;
    const std::size_t total = (ip[2] << 8) | ip[3];
    if ((ip[0] >> 4) != 4 || ihl < 20 || total < ihl + 8 || kEth + total > size || ip[9] != 1 ||
        std::memcmp(ip + 16, &address, 4) != 0 || ip[ihl] != 8 || ip[ihl + 1] != 0) {
        return {};
    }
    std::vector<unsigned char> reply(frame, frame + kEth + total);  // without padding
    std::memcpy(reply.data(), frame + 6, 6);                        // back to the sender
    std::memcpy(reply.data() + 6, frame, 6);
    unsigned char* rip = reply.data() + kEth;
    std::memcpy(rip + 12, ip + 16, 4);
    std::memcpy(rip + 16, ip + 12, 4);
    rip[8] = 64;  // time to live
    PutChecksum(rip + 10, 0);
    PutChecksum(rip + 10, Checksum(rip, ihl));
    unsigned char* icmp = rip + ihl;
    icmp[0] = 0;  // echo reply; identifier, sequence and data stay
    PutChecksum(icmp + 2, 0);
    PutChecksum(icmp + 2, Checksum(icmp, total - ihl));
    return reply;
}

}  // namespace

// Answers the echo requests that reach one host's interface, each `delay`
// after it came, from a thread of its own.
struct TestLan::Responder {
    Responder(int hostsNs, int n, std::chrono::milliseconds delay) : delay_(delay) {
        address_ = 0;
        inet_pton(AF_INET, Address(n).c_str(), &address_);
        std::string err;
        // The socket belongs to the namespace it is made in: make it there.
        std::thread([&] {
            if (setns(hostsNs, CLONE_NEWNET) != 0) {
                err = std::string("setns: ") + std::strerror(errno);
                return;
            }
            const unsigned index = if_nametoindex(("h" + std::to_string(n)).c_str());
            fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_IP));
            sockaddr_ll at{};
            at.sll_family = AF_PACKET;
            at.sll_protocol = htons(ETH_P_IP);
            at.sll_ifindex = static_cast<int>(index);
            if (index == 0 || fd_ < 0 ||
                bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
                err = "no packet socket on host " + std::to_string(n) + ": " + std::strerror(errno);
        }).join();
        stop_ = eventfd(0, EFD_CLOEXEC);
        if (!err.empty() || stop_ < 0) {
            Close();
            throw std::runtime_error("test LAN: " + (err.empty() ? "eventfd failed" : err));
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~Responder() {
        const std::uint64_t one = 1;
        (void)!write(stop_, &one, sizeof one);
        thread_.join();
        Close();
    }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

  private:
    void Close() {
        if (fd_ >= 0) close(fd_);
        if (stop_ >= 0) close(stop_);
    }
    void Run() {
        using Clock = std::chrono::steady_clock;
        std::deque<std::pair<Clock::time_point, std::vector<unsigned char>>> due;
        for (;;) {
            int waitMs = -1;
            if (!due.empty()) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(due.front().first - Clock::now());
                waitMs = std::max<int>(0, static_cast<int>(left.count()));
            }
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (poll(fds, 2, waitMs) < 0 && errno != EINTR) return;
            if (fds[1].revents) return;
            // An error alone (the host's link went away) is taken by the read too.
            while (fds[0].revents != 0) {
                unsigned char frame[2048];
                sockaddr_ll from{};
                socklen_t length = sizeof from;
                const ssize_t n = recvfrom(fd_, frame, sizeof frame, MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr*>(&from), &length);
                if (n <= 0) break;
                if (from.sll_pkttype == PACKET_OUTGOING) continue;  // our own answers
                auto reply = EchoReplyTo(frame, static_cast<std::size_t>(n), address_);
                if (!reply.empty()) due.emplace_back(Clock::now() + delay_, std::move(reply));
            }
            while (!due.empty() && due.front().first <= Clock::now()) {
                (void)!send(fd_, due.front().second.data(), due.front().second.size(), 0);
                due.pop_front();
            }
        }
    }

    std::chrono::milliseconds delay_;
    std::uint32_t address_;
    int fd_ = -1;
    int stop_ = -1;
    std::thread thread_;
};

bool Isolated(std::string* why) {
    auto no = [&](const std::string& reason) {
        if (why) *why = reason;
        return false;
    };
    ino_t self = NetNsInode("/proc/thread-self/ns/net");
    // The machine's own namespace. scripts/test.sh records it before it makes
    // the private one: in a PID namespace of its own, /proc/1 is not the
    // machine's init but the namespace's, which shares our network.
    ino_t machine = NetNsInode("/proc/1/ns/net");
    if (const char* recorded = std::getenv("VARNEX_MACHINE_NETNS"); recorded && *recorded)
        machine = static_cast<ino_t>(std::strtoull(recorded, nullptr, 10));
    if (self != 0 && self == machine) {
        return no("this is the machine's own network namespace; run inside unshare --net");
    }
    if (HasDefaultRoute()) return no("a default route exists in this network namespace");
    return true;
}

bool TestLan::Usable(std::string* why) {
    auto no = [&](const std::string& reason) {
        if (why) *why = "test LAN unusable: " + reason;
        if (LanRequired() && testing::UnitTest::GetInstance()->current_test_info() != nullptr)
            ADD_FAILURE() << "test LAN unusable where it is required: " << reason;
        return false;
    };
    if (geteuid() != 0) return no("not root (run the tests through scripts/test.sh)");
    if (IpBinary() == nullptr) return no("ip (iproute2) is not installed");
    std::string notIsolated;
    if (!Isolated(&notIsolated)) return no(notIsolated);
    std::string err;
    int fd = CreateHostsNamespace(&err);
    if (fd < 0) return no("cannot create a network namespace: " + err);
    close(fd);
    return true;
}

TestLan::TestLan(const std::set<int>& answering) : answering_(answering) {
    for (int n : answering_) CheckHost(n);
    std::string why;
    if (!Usable(&why)) throw std::runtime_error(why);
    lockPath_ = LockPath();
    lockFd_ = TakeLock(lockPath_, std::chrono::seconds(240));
    try {
        Build();
    } catch (...) {
        Teardown();
        throw;
    }
}

TestLan::~TestLan() { Teardown(); }

void TestLan::Build() {
    // A LAN of a process that was killed may still be going away.
    RunIp({"link", "del", kScannerLink}, -1, {}, nullptr);
    std::string err;
    hostsNs_ = CreateHostsNamespace(&err);
    if (hostsNs_ < 0) throw std::runtime_error("test LAN: " + err);

    // Made in the hosts' namespace, with our end sent to this thread's
    // namespace through a descriptor that ip inherits as fd 3.
    int selfNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (selfNs < 0) throw std::runtime_error("test LAN: cannot open own namespace");
    std::string out;
    int rc = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        const char* ip = IpBinary();
        int errPipe[2];
        if (pipe2(errPipe, O_CLOEXEC) != 0) break;
        pid_t pid = Fork([&] {
            if (setns(hostsNs_, CLONE_NEWNET) != 0) return 125;
            if (dup2(selfNs, 3) < 0) return 125;  // dup2 clears close-on-exec
            dup2(errPipe[1], 2);
            char* argv[] = {const_cast<char*>("ip"),
                            const_cast<char*>("link"),
                            const_cast<char*>("add"),
                            const_cast<char*>(kHostsLink),
                            const_cast<char*>("type"),
                            const_cast<char*>("veth"),
                            const_cast<char*>("peer"),
                            const_cast<char*>("name"),
                            const_cast<char*>(kScannerLink),
                            const_cast<char*>("netns"),
                            const_cast<char*>("/proc/self/fd/3"),
                            nullptr};
            execv(ip, argv);
            return 127;
        });
        close(errPipe[1]);
        out.clear();
        char buf[256];
        ssize_t n;
        while ((n = read(errPipe[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        close(errPipe[0]);
        rc = pid > 0 ? Wait(pid).value_or(126) : 126;
        if (rc == 0 || out.find("exists") == std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // old pair still going
    }
    close(selfNs);
    if (rc != 0) throw std::runtime_error("test LAN: cannot create the veth pair: " + out);

    MustIp({"addr", "add", std::string(kSubnet) + "." + std::to_string(kScannerHost) + "/24", "dev",
            kScannerLink},
           -1);
    // A known MAC for our side, so that tests can tell it from the hosts'.
    MustIp(
        {"link", "set", kScannerLink, "address", "02:00:00:00:00:" + Hex2(TestLan::kScannerHost)},
        -1);
    MustIp({"link", "set", kScannerLink, "up"}, -1);
    std::string batch = std::string("link set lo up\nlink set ") + kHostsLink + " up\n";
    for (int n : answering_) batch += HostCommands(n, true);
    MustIp({"-batch", "-"}, hostsNs_, batch);
    WaitUntilAnswering(answering_);
    // Tests start from an empty neighbour table, as if no host had been asked.
    RunIp({"neigh", "flush", "dev", kScannerLink}, -1, {}, nullptr);
}

void TestLan::WaitUntilAnswering(const std::set<int>& hosts) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!LinksReady({"-o", "link", "show", "dev", kScannerLink}, -1) ||
           !LinksReady({"-o", "link", "show"}, hostsNs_)) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("test LAN: the links did not come up within 20 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::set<int> echoing;
    for (int n : hosts)
        if (quietEcho_.count(n) == 0) echoing.insert(n);
    if (!HostsAnswer(echoing, deadline)) {
        throw std::runtime_error("test LAN: a host did not answer within 20 s");
    }
}

void TestLan::Teardown() noexcept {
    responders_.clear();
    if (nameServer_ > 0) {
        End(nameServer_);
        nameServer_ = -1;
    }
    if (hostsNs_ >= 0) {
        RunIp({"link", "del", kScannerLink}, -1, {}, nullptr);
        close(hostsNs_);  // the last holder: the namespace and its hosts go with it
        hostsNs_ = -1;
    }
    if (lockFd_ >= 0) {
        unlink(lockPath_.c_str());
        close(lockFd_);
        lockFd_ = -1;
    }
}

void TestLan::SetAnswering(int n, bool answering) {
    CheckHost(n);
    if (answering == (answering_.count(n) != 0)) return;
    if (answering) {
        AddHost(n);
    } else {
        RemoveHost(n);
    }
}

void TestLan::AddHost(int n) {
    MustIp({"-batch", "-"}, hostsNs_, HostCommands(n, true));
    // An earlier round may have left a failed or incomplete entry, which would
    // hold the next echo back until its next ARP probe a second later; a host
    // that comes up announces itself, so the scanner asks afresh.
    RunIp({"neigh", "del", Address(n), "dev", kScannerLink}, -1, {}, nullptr);
    WaitUntilAnswering({n});
    answering_.insert(n);
}

void TestLan::RemoveHost(int n) {
    MustIp({"-batch", "-"}, hostsNs_, HostCommands(n, false));
    answering_.erase(n);
}

void TestLan::IpInHosts(const std::initializer_list<std::string>& args) const {
    MustIp(std::vector<std::string>(args), hostsNs_);
}

int TestLan::UdpSocketOnHost(int n, unsigned short port) const {
    int fd = -1;
    std::string err;
    // A socket belongs to the namespace it is made in: make it there.
    std::thread([&] {
        if (setns(hostsNs_, CLONE_NEWNET) != 0) {
            err = std::string("setns: ") + std::strerror(errno);
            return;
        }
        const std::string link = "h" + std::to_string(n);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0 ||
            setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, link.c_str(),
                       static_cast<socklen_t>(link.size())) != 0 ||
            bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
            err = "no UDP socket on host " + std::to_string(n) + ": " + std::strerror(errno);
    }).join();
    if (!err.empty()) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("test LAN: " + err);
    }
    return fd;
}

void TestLan::AddNftRule(const std::string& rule) {
    std::string batch;
    if (!nftTable_) {
        batch =
            "add table inet testlan\n"
            "add chain inet testlan input { type filter hook input priority 0 ; policy accept ; "
            "}\n";
    }
    MustRun("nft", {"-f", "-"}, hostsNs_, batch + "add rule inet testlan input " + rule + "\n");
    nftTable_ = true;
}

void TestLan::DropEcho(int n) {
    CheckHost(n);
    AddNftRule("ip daddr " + Address(n) + " icmp type echo-request drop");
    quietEcho_.insert(n);
}

void TestLan::AnswerEchoAfter(int n, std::chrono::milliseconds delay) {
    if (answering_.count(n) == 0)
        throw std::invalid_argument("test LAN: host " + std::to_string(n) + " does not answer");
    DropEcho(n);
    responders_.push_back(std::make_unique<Responder>(hostsNs_, n, delay));
}

void TestLan::DropDns(int n) {
    CheckHost(n);
    AddNftRule("ip daddr " + Address(n) + " udp dport 53 drop");
    AddNftRule("ip daddr " + Address(n) + " tcp dport 53 drop");
}

void TestLan::ServeNames(int n, const std::map<int, std::string>& names) {
    if (answering_.count(n) == 0)
        throw std::invalid_argument("test LAN: host " + std::to_string(n) + " does not answer");
    const std::string dnsmasq = SystemTool("dnsmasq");
    if (dnsmasq.empty()) throw std::runtime_error("test LAN: dnsmasq (dnsmasq-base) is missing");
    if (nameServer_ > 0) {
        End(nameServer_);
        nameServer_ = -1;
    }
    // No configuration file, no upstream server, no pid file; root stays
    // root (no user to switch to needed); it answers for the LAN's reverse
    // zone alone, with "no such name" for a host without a record.
    std::vector<std::string> args{"dnsmasq",
                                  "--keep-in-foreground",
                                  "--conf-file=/dev/null",
                                  "--no-resolv",
                                  "--no-hosts",
                                  "--user=root",
                                  "--pid-file=",
                                  "--log-facility=/dev/null",
                                  "--port=53",
                                  "--listen-address=" + Address(n),
                                  "--bind-interfaces",
                                  std::string("--local=/2.0.192.in-addr.arpa/")};
    for (const auto& [host, name] : names) {
        CheckHost(host);
        args.push_back("--ptr-record=" + std::to_string(host) + ".2.0.192.in-addr.arpa," + name);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int ns = hostsNs_;
    const char* path = dnsmasq.c_str();
    nameServer_ = Fork([&] {
        if (setns(ns, CLONE_NEWNET) != 0) return 125;
        const int null = open("/dev/null", O_RDWR);
        if (null < 0) return 126;
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execv(path, argv.data());
        return 127;
    });
    if (nameServer_ <= 0) throw std::runtime_error("test LAN: cannot start dnsmasq");
    // Ready once its socket on port 53 is bound: /proc/<pid>/net is its namespace's.
    const std::string table = "/proc/" + std::to_string(nameServer_) + "/net/udp";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::ifstream udp(table);
        const std::string text((std::istreambuf_iterator<char>(udp)), {});
        if (text.find(":0035 ") != std::string::npos) return;
        if (const auto code = Wait(nameServer_, std::chrono::milliseconds(0))) {
            nameServer_ = -1;
            throw std::runtime_error("test LAN: dnsmasq ended with " + std::to_string(*code));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            End(nameServer_);
            nameServer_ = -1;
            throw std::runtime_error("test LAN: dnsmasq did not listen within 10 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ResolverFiles::ResolverFiles(const std::string& resolvConf, const std::string& hosts) {
    const std::string dir = MakeTempDir("resolver");
    const std::pair<std::string, std::string> files[] = {{"/etc/resolv.conf", resolvConf},
                                                         {"/etc/hosts", hosts}};
    for (const auto& [target, text] : files) {
        std::ofstream(dir + target.substr(target.rfind('/'))) << text;
    }
    // A namespace of this thread's own, private before anything is mounted:
    // a bind in a shared mount would reach the machine's own /etc.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        problem_ = std::string("no private mount namespace: ") + std::strerror(errno);
        return;
    }
    for (const auto& [target, text] : files) {
        const std::string source = dir + target.substr(target.rfind('/'));
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            problem_ = "cannot bind " + source + " over " + target + ": " + std::strerror(errno);
            return;
        }
        mounted_.push_back(target);
    }
}

ResolverFiles::~ResolverFiles() {
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
}

std::string TestLan::Address(int n) { return std::string(kSubnet) + "." + std::to_string(n); }

std::string TestLan::Mac(int n) {
    std::string h = Hex2(n);
    for (auto& c : h) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return "02-00-00-00-00-" + h;
}

std::set<int> TestLan::Range(int first, int last) {
    std::set<int> s;
    for (int n = first; n <= last; ++n) s.insert(n);
    return s;
}

bool EnterPrivateNetwork(std::string* why) {
    if (unshare(CLONE_NEWNET) != 0) {
        if (why) *why = std::string("cannot create a network namespace: ") + std::strerror(errno);
        return false;
    }
    std::string err;
    if (RunIp({"link", "set", "lo", "up"}, -1, {}, &err) != 0) {
        if (why) *why = "cannot bring loopback up: " + err;
        return false;
    }
    return true;
}

bool WriteSysctl(const std::string& key, const std::string& value) {
    if (key.find("..") != std::string::npos) return false;
    return WriteProcSys(key, value);
}

namespace {
std::string& PrivateNetworkFailure() {
    static std::string why = "not set up";
    return why;
}
}  // namespace

void PrivateNetwork::SetUp() {
    std::string why;
    PrivateNetworkFailure() = EnterPrivateNetwork(&why) ? std::string() : why;
    if (!PrivateNetworkFailure().empty() && LanRequired())
        ADD_FAILURE() << "no private network where the test LAN is required: " << why;
}

const std::string& PrivateNetwork::Failure() { return PrivateNetworkFailure(); }

}  // namespace testsupport
