// The result of a sweep run from a script, per host 1 to 255, and its three
// written forms: JSON, CSV (RFC 4180) and a text for people. Texts are UTF-8
// inside; writers do no I/O.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sweep {

// The kinds of a host's change, in the order in which the first that applies wins.
inline constexpr const char* kChangeKinds[] = {"new", "moved", "mac", "up", "down"};

struct HostResult {
    int host = 0;  // 1 to 255
    std::string ip;
    std::int32_t answered = 0;  // rounds answered
    std::int32_t rounds = 0;
    std::string mac;            // empty unless asked for and the host answered, or seen by ARP only
    std::string vendor;         // empty when unknown
    std::string remark;         // from Ps.ini, may hold line breaks
    std::string change;         // "", "new", "moved", "mac", "up" or "down"
    std::string seen = "none";  // "echo" (answered an echo), "arp" (answered ARP only) or "none"
    std::string name;           // from a reverse look-up, empty without one
    std::string previousMac{};  // for "mac": the MAC the last sweep saw here
    std::string previousIp{};   // for "moved": where the last sweep saw this MAC
};

struct SweepResult {
    std::string subnet;  // "A.B.C"
    std::int32_t rounds = 0;
    std::chrono::system_clock::time_point started;
    double seconds = 0;    // time taken, for the text's summary
    bool changes = false;  // whether changes were asked for
    std::vector<HostResult> hosts;
};

// The share of answered rounds in whole per cent, as the details box shows it:
// the quotient first, then times 100, rounded down (29 of 100 gives 28). 0 for
// no rounds.
std::int32_t SharePercent(std::int32_t answered, std::int32_t rounds);

// 2026-12-07T15:52:26Z
std::string Iso8601Utc(std::chrono::system_clock::time_point t);

// One JSON object: subnet, rounds, started, hosts (an array of objects with
// host, ip, answered, rounds, share, mac, vendor, remark, change). Invalid
// UTF-8 becomes U+FFFD, so the output always parses.
std::string WriteJson(const SweepResult& r);

// The header host,ip,answered,rounds,share,mac,vendor,remark,change and one
// row per host, each line ended by CR LF.
std::string WriteCsv(const SweepResult& r);

// One line per host that answered at least once (ip, share%, mac, vendor,
// remark; with changes also its change, and the hosts that went down), then a
// summary line with the counts and the time taken. Control characters of a
// remark or vendor become spaces, so a line stays one line and a terminal
// receives no escape sequence.
std::string WriteText(const SweepResult& r);

// Appends s to out as a JSON string; invalid UTF-8 becomes U+FFFD.
void AppendJsonString(std::string& out, std::string_view s);

// One line of text for people: every control character (line breaks, tabs,
// escape) a space.
std::string OneLine(std::string_view s);

}  // namespace sweep
