// SPDX-License-Identifier: MIT
#include "platform/net/icmp.h"

#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

struct IcmpFile {
    int fd = -1;
    IcmpSocketKind kind = IcmpSocketKind::None;
    std::uint16_t wireId = 0;  // identifier field as it appears in the packet
};

namespace {

std::atomic<std::uint64_t> requestsSent{0};
std::atomic<bool> icmpDenied{false};

std::uint16_t RandomU16() {
    std::uint16_t v = 0;
    if (getrandom(&v, sizeof v, GRND_NONBLOCK) != sizeof v) {
        v = static_cast<std::uint16_t>(std::chrono::steady_clock::now().time_since_epoch().count() ^
                                       getpid());
    }
    return v;
}

// Raw sockets share one identifier space per machine; a per-process counter
// from a random start keeps the echoes in flight here apart.
std::uint16_t NextRawId() {
    static std::atomic<std::uint16_t> next{RandomU16()};
    return next.fetch_add(1, std::memory_order_relaxed);
}

std::string ExePath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "<program>";
    return std::string(buf, static_cast<size_t>(n));
}

void LogOnce(std::once_flag& flag, const std::string& text) {
    std::call_once(flag, [&] {
        syslog(LOG_ERR, "%s", text.c_str());
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text.c_str());
    });
}

std::once_flag noPermissionLogged;
std::once_flag noResourceLogged;

bool IsPermissionError(int err) { return err == EACCES || err == EPERM; }

// Whether the two ICMP sockets failed for want of a permission rather than of
// a resource: the raw one refused, and the datagram one refused, unsupported
// or opened but unusable (0).
bool DeniedBoth(int dgramErr, int rawErr) {
    return IsPermissionError(rawErr) && (dgramErr == 0 || IsPermissionError(dgramErr) ||
                                         dgramErr == EAFNOSUPPORT || dgramErr == EPROTONOSUPPORT);
}

// Lets through only echo replies with our identifier, so that with many raw
// sockets open each one queues only its own replies.
bool AttachIdFilter(int fd, std::uint16_t hostOrderId) {
    sock_filter code[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),  // X = IP header length
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),   // ICMP type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP_ECHOREPLY, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),  // identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, hostOrderId, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffff),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) == 0;
}

std::uint16_t Checksum(const unsigned char* p, size_t n) {
    std::uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    if (n % 2) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return htons(static_cast<std::uint16_t>(~sum));
}

std::string NoSocketText(int dgramErr, int rawErr) {
    return std::string("ICMP echo impossible: no ICMP socket (datagram: ") +
           std::strerror(dgramErr) + "; raw: " + std::strerror(rawErr) + ").";
}

std::string NoPermissionText(int dgramErr, int rawErr) {
    return NoSocketText(dgramErr, rawErr) +
           " Every host will look silent. Fix: allow ping sockets for your group "
           "(sysctl -w net.ipv4.ping_group_range=\"0 2147483647\") or give the program "
           "the raw-socket right (setcap cap_net_raw+ep " +
           ExePath() + ").";
}

}  // namespace

std::string IcmpProblem() {
    if (icmpDenied) return NoPermissionText(EACCES, EPERM);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    const int dgramErr = fd < 0 ? errno : 0;
    if (fd < 0) fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        close(fd);
        return {};
    }
    const int rawErr = errno;
    // Out of descriptors or memory is no answer about the permission.
    return DeniedBoth(dgramErr, rawErr) ? NoPermissionText(dgramErr, rawErr) : std::string();
}

bool IcmpPermitted() { return IcmpProblem().empty(); }

void SetIcmpDeniedForTesting(bool denied) { icmpDenied = denied; }

IcmpHandle IcmpCreateFile() {
    if (icmpDenied) return nullptr;
    // The datagram socket needs no privilege where ping_group_range covers one
    // of our groups; otherwise (EACCES) or without kernel support for it
    // (EAFNOSUPPORT, EPROTONOSUPPORT) the raw socket is the way.
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    const int dgramErr = fd < 0 ? errno : 0;
    if (fd >= 0) {
        sockaddr_in any{};
        any.sin_family = AF_INET;
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        // Binding picks the identifier, which the kernel writes into every
        // request and by which it routes replies to this socket.
        if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) == 0) {
            return new IcmpFile{fd, IcmpSocketKind::Datagram, bound.sin_port};
        }
        close(fd);
    }
    fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        std::uint16_t id = NextRawId();
        if (AttachIdFilter(fd, id)) {
            // Until the filter was in place the socket queued every ICMP packet
            // of the machine; with many echoes in flight that can fill its
            // buffer, and our own reply would then be dropped.
            unsigned char junk[1500];
            while (recv(fd, junk, sizeof junk, MSG_DONTWAIT) >= 0) {
            }
            return new IcmpFile{fd, IcmpSocketKind::Raw, htons(id)};
        }
        close(fd);
        errno = EINVAL;
    }
    const int rawErr = errno;
    if (DeniedBoth(dgramErr, rawErr)) {
        LogOnce(noPermissionLogged, NoPermissionText(dgramErr, rawErr));
    } else {
        LogOnce(noResourceLogged,
                NoSocketText(dgramErr, rawErr) + " Echoes fail until sockets are available again.");
    }
    return nullptr;
}

std::uint32_t IcmpSendEcho(IcmpHandle handle, std::uint32_t destination, const void* data,
                           std::uint16_t size, const void* /*options*/, void* reply,
                           std::uint32_t replySize, std::uint32_t timeoutMs) {
    using namespace std::chrono;
    if (handle == nullptr || handle->fd < 0 || reply == nullptr ||
        replySize < echo_reply::kHeaderSize || (data == nullptr && size != 0)) {
        return 0;
    }
    if (destination == 0) return 0;

    std::vector<unsigned char> packet(sizeof(icmphdr) + size);
    const std::uint16_t wireSeq = RandomU16();
    icmphdr hdr{};
    hdr.type = ICMP_ECHO;
    hdr.code = 0;
    hdr.un.echo.id = handle->wireId;
    hdr.un.echo.sequence = wireSeq;
    std::memcpy(packet.data(), &hdr, sizeof hdr);
    if (size) std::memcpy(packet.data() + sizeof hdr, data, size);
    if (handle->kind == IcmpSocketKind::Raw) {
        const std::uint16_t sum = Checksum(packet.data(), packet.size());
        std::memcpy(packet.data() + offsetof(icmphdr, checksum), &sum, sizeof sum);
    }  // the kernel computes it for a datagram socket

    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr.s_addr, &destination, sizeof destination);
    requestsSent.fetch_add(1, std::memory_order_relaxed);
    const auto start = steady_clock::now();
    ssize_t sent;
    do {
        sent = sendto(handle->fd, packet.data(), packet.size(), MSG_NOSIGNAL,
                      reinterpret_cast<sockaddr*>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return 0;

    const auto deadline = start + milliseconds(timeoutMs);
    std::vector<unsigned char> in(65536);
    // A starved thread may wake after the deadline with its reply queued in
    // time: what is queued then is still read, but only a bounded amount.
    int lateReads = 0;
    for (;;) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) {
            left = 0;
            if (++lateReads > 64) return 0;
        }
        pollfd p{handle->fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 0;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = recvfrom(handle->fd, in.data(), in.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return 0;  // e.g. a reported "host unreachable": no reply will come
        }
        size_t off = 0;
        std::uint8_t ttl = 0;
        if (handle->kind == IcmpSocketKind::Raw) {
            if (n < static_cast<ssize_t>(sizeof(iphdr))) continue;
            off = static_cast<size_t>(in[0] & 0x0f) * 4;
            ttl = in[8];
        }
        if (off < (handle->kind == IcmpSocketKind::Raw ? sizeof(iphdr) : 0) ||
            static_cast<size_t>(n) < off + sizeof(icmphdr)) {
            continue;
        }
        // The kernel checks the checksum before a datagram socket sees a
        // reply, but hands a raw socket what arrived: a damaged or forged
        // reply must not count as an answer.
        if (handle->kind == IcmpSocketKind::Raw &&
            Checksum(in.data() + off, static_cast<size_t>(n) - off) != 0) {
            continue;
        }
        icmphdr got;
        std::memcpy(&got, in.data() + off, sizeof got);
        if (from.sin_family != AF_INET || from.sin_addr.s_addr != to.sin_addr.s_addr ||
            got.type != ICMP_ECHOREPLY || got.code != 0 || got.un.echo.id != handle->wireId ||
            got.un.echo.sequence != wireSeq) {
            continue;  // not the answer to this echo
        }
        const size_t dataLen = static_cast<size_t>(n) - off - sizeof(icmphdr);
        const size_t room = replySize - echo_reply::kHeaderSize;
        const size_t copied = dataLen < room ? dataLen : room;
        auto* out = static_cast<unsigned char*>(reply);
        std::memset(out, 0, echo_reply::kHeaderSize);
        std::memcpy(out + echo_reply::kAddress, &from.sin_addr.s_addr, 4);
        const auto rtt = static_cast<std::uint32_t>(
            duration_cast<milliseconds>(steady_clock::now() - start).count());
        std::memcpy(out + echo_reply::kRoundTripTime, &rtt, 4);
        // Only what is really in the buffer is reported, never more.
        const auto dataSize = static_cast<std::uint16_t>(copied);
        std::memcpy(out + echo_reply::kDataSize, &dataSize, 2);
        out[echo_reply::kTtl] = ttl;
        std::memcpy(out + echo_reply::kData, in.data() + off + sizeof(icmphdr), copied);
        return 1;
    }
}

bool IcmpCloseHandle(IcmpHandle handle) {
    if (handle == nullptr) return false;
    if (handle->fd >= 0) close(handle->fd);
    delete handle;
    return true;
}

IcmpSocketKind IcmpKindOf(IcmpHandle handle) {
    return handle ? handle->kind : IcmpSocketKind::None;
}

std::uint64_t IcmpRequestsSent() { return requestsSent.load(std::memory_order_relaxed); }

}  // namespace platform
