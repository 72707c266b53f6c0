// SPDX-License-Identifier: MIT
// Morvel's creatable classes as a client sees them: their class and
// interface identifiers and the member numbers a client calls (counted after
// IDispatch's seven, as in the type library). The window's proxies and
// Morvel's adapters both take them from here.
#pragma once

#include <cstdint>

namespace morvel {

inline constexpr const char* kTypeLibId = "{22892452-FC6B-4A36-A7DC-316A3044A36F}";  // Morvel 1.0

inline constexpr const char* kCCShareStringClsid = "{D5794A3B-706E-44D1-B775-8AFE31BF08DC}";
inline constexpr const char* kCCShareStringIid = "{800805FF-8DB6-4525-AD31-0A5D508E45A4}";
inline constexpr const char* kClassPingClsid = "{349D6C52-C717-41CA-9FEE-6DF3543D75DF}";
inline constexpr const char* kClassPingIid = "{29D1FF17-50BA-4A26-9BD5-08A33BC9F1FE}";
inline constexpr const char* kClassEchoClsid = "{776D0E74-F95C-40BC-B058-84AB874F44A9}";
inline constexpr const char* kClassEchoIid = "{5C30B49D-00D6-4E8B-9E39-D54096AD11E3}";
inline constexpr const char* kClassArpClsid = "{62587F9C-F936-43A2-81A6-4A3CA09970AF}";
inline constexpr const char* kClassArpIid = "{20A0BF0F-F98D-4BF4-89CE-5D8515C7F94B}";

// _CCShareString:
//   Create(sName text in/out, [StrLen int in/out, default 30000]) -> boolean
//   getStr(n int, M int) -> text
//   setStr(s text, n int) -> empty
//   LastErr() -> int
struct CCShareStringMember {
    static constexpr std::uint32_t Create = 1, getStr = 2, setStr = 3, LastErr = 4;
};

// _ClassPing:
//   Create(ID int in/out, a host number 1..255; a text of digits is taken too;
//          [timeoutMs int, the echo's time-out, 50..5000, default 200]) -> empty
//   StopIt() -> empty
struct ClassPingMember {
    static constexpr std::uint32_t Create = 1, StopIt = 2;
};

// _ClassEcho:
//   SendEcho(destination int, the address's bytes in memory order; data text;
//            timeoutMs int) -> text, the echoed data, empty without a reply
//   IcmpProblem() -> text: why this worker host may send no echo at all, with
//            the fix; empty when it may
struct ClassEchoMember {
    static constexpr std::uint32_t SendEcho = 1, IcmpProblem = 2;
};

// _ClassArp (one object per sweep, holding its probe):
//   Probe(subnet int, a * 65536 + b * 256 + c for a.b.c) -> int: forgets the
//            replies so far and sends one ARP request to every host of the
//            subnet on a directly attached link; the number of hosts asked,
//            0 when none is on such a link, -1 when this worker host may not
//            send ARP (no cap_net_raw). Returns at once.
//   Replies() -> text: a line "n AA-BB-CC-DD-EE-FF" for each host n that
//            answered since the last Probe, in the order they came
struct ClassArpMember {
    static constexpr std::uint32_t Probe = 1, Replies = 2;
};
inline constexpr std::int32_t kNoArpRight = -1;

}  // namespace morvel
