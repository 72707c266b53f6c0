#include "tests/support/testnet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/net/icmp.h"
#include "tests/support/children.h"

namespace testsupport {
namespace {

constexpr const char* kScannerLink = "tlan0";
constexpr const char* kHostsLink = "tlan1";
constexpr int kTableBase = 1000;  // host n replies through routing table kTableBase + n

const char* IpBinary() {
    static const char* const candidates[] = {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"};
    for (const char* c : candidates) {
        if (access(c, X_OK) == 0) return c;
    }
    return nullptr;
}

std::string Join(const std::vector<std::string>& args) {
    std::string s = "ip";
    for (const auto& a : args) s += " " + a;
    return s;
}

// Runs `ip args...` in the namespace nsFd (-1: the calling thread's), feeding
// `input` to its standard input. Returns its exit status; `err` gets its
// output (standard output and error). Nothing goes through a shell.
int RunIp(const std::vector<std::string>& args, int nsFd, const std::string& input,
          std::string* err) {
    const char* ip = IpBinary();
    if (ip == nullptr) {
        if (err) *err = "ip (iproute2) not found";
        return 127;
    }
    std::vector<std::string> argvStore{"ip"};
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
        execv(ip, argv.data());
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
            Signal(pid, SIGKILL);  // never hang a test on a stuck ip
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

void MustIp(const std::vector<std::string>& args, int nsFd, const std::string& input = {}) {
    std::string err;
    int rc = RunIp(args, nsFd, input, &err);
    if (rc != 0) {
        throw std::runtime_error("test LAN: `" + Join(args) + "` failed (" + std::to_string(rc) +
                                 "): " + err);
    }
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

}  // namespace

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
    if (!HostsAnswer(hosts, deadline)) {
        throw std::runtime_error("test LAN: a host did not answer within 20 s");
    }
}

void TestLan::Teardown() noexcept {
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
