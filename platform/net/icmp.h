// SPDX-License-Identifier: MIT
// One ICMP echo, the way the echo component expects the Windows ICMP helper to
// do it: a handle per echo, a request with a given payload, and the first
// matching reply written into the caller's buffer in the 32-bit
// ICMP_ECHO_REPLY layout.
//
// A handle is an ICMP datagram ("ping") socket where net.ipv4.ping_group_range
// allows one, otherwise a raw socket (root or CAP_NET_RAW) whose kernel filter
// passes only echo replies carrying its own identifier. One socket per echo: a
// socket shared by many echoes fills its send buffer with packets waiting for
// silent hosts' ARP, and later sends fail. When neither kind can be opened,
// the fault and its fix are logged once per process (system log, stderr).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

struct IcmpFile;
using IcmpHandle = IcmpFile*;  // nullptr: no socket could be opened

// The reply record at the start of the reply buffer (32-bit layout, 28 bytes),
// then the echoed data. The Data and OptionsData pointers stay 0: nothing
// reads them, and a 64-bit pointer does not fit.
namespace echo_reply {
constexpr std::size_t kAddress = 0;        // u32, source of the reply, network order
constexpr std::size_t kStatus = 4;         // u32, 0 on success
constexpr std::size_t kRoundTripTime = 8;  // u32, milliseconds
constexpr std::size_t kDataSize = 12;      // u16, bytes of data at kData
constexpr std::size_t kTtl = 20;           // u8, where known (raw sockets)
constexpr std::size_t kHeaderSize = 28;
constexpr std::size_t kData = kHeaderSize;
}  // namespace echo_reply

IcmpHandle IcmpCreateFile();

// Sends one echo request with `data` to `destination` (the address's bytes in
// memory order, first octet first) and waits at most `timeoutMs` for the
// reply whose source, identifier and sequence number match. Returns the
// number of replies written (0 or 1). Nothing is sent to address 0 (Linux
// would answer it locally); a send the kernel refuses (EACCES for a broadcast
// address, ...) ends the echo at once. `options` is accepted and ignored: the
// system defaults apply.
std::uint32_t IcmpSendEcho(IcmpHandle handle, std::uint32_t destination, const void* data,
                           std::uint16_t size, const void* options, void* reply,
                           std::uint32_t replySize, std::uint32_t timeoutMs);

bool IcmpCloseHandle(IcmpHandle handle);

// Whether this process may open an ICMP socket of either kind: false only
// when both are refused for want of a permission (neither ping_group_range
// nor cap_net_raw). Keeps no socket and logs nothing.
bool IcmpPermitted();

// Why this process may send no echo at all, with the fix (the sysctl for ping
// sockets, the setcap line for this program); "" when it may, or when only a
// resource is short, which says nothing about the right. Keeps no socket and
// logs nothing.
std::string IcmpProblem();

// Tests: act as if neither kind of ICMP socket were permitted here.
void SetIcmpDeniedForTesting(bool denied);

// For tests and diagnostics.
enum class IcmpSocketKind { None, Datagram, Raw };
IcmpSocketKind IcmpKindOf(IcmpHandle handle);
// Echo requests this process has handed to the kernel so far.
std::uint64_t IcmpRequestsSent();

}  // namespace platform
