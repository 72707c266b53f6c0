// SPDX-License-Identifier: MIT
// The result of a sweep run from a script, per host 1 to 255, and its three
// written forms: JSON, CSV (RFC 4180) and a text for people. Texts are UTF-8
// inside; writers do no I/O.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
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
// host, ip, answered, rounds, share, mac, vendor, remark, change, seen, name,
// local_mac (true or false), previous_mac and previous_ip). Invalid UTF-8
// becomes U+FFFD, so the output always parses.
std::string WriteJson(const SweepResult& r);

// The header host,ip,answered,rounds,share,mac,vendor,remark,change,seen,name,
// local_mac,previous_mac,previous_ip and one row per host, each line ended by
// CR LF. Columns only ever come at the end, so a reader of the earlier ones
// keeps working.
std::string WriteCsv(const SweepResult& r);

// One line per host that answered at least once (ip, share%, mac, name when
// any host listed has one, vendor, remark; with changes also its change, and
// the hosts that went down, with what they were before for "mac" and
// "moved"), then the hosts seen by ARP only, "arp" in place
// of the share, then a summary line with the counts and the time taken, and,
// when a listed MAC is locally administered, the footnote of its mark "*".
// Control characters of a name, remark or vendor become spaces, so a line
// stays one line and a terminal receives no escape sequence.
std::string WriteText(const SweepResult& r);

// Appends s to out as a JSON string; invalid UTF-8 becomes U+FFFD.
void AppendJsonString(std::string& out, std::string_view s);

// A report's field: its CSV column and JSON key, and its text, written bare
// when it is a number or a truth value. Both reports write their records
// through the three writers below, so their CSV and JSON agree in form.
struct ReportField {
    const char* name;
    std::string text;
    bool bare;
};
// The fields' names as a CSV header line (CRLF-terminated).
void AppendCsvNames(std::string& out, std::span<const ReportField> fields);
// The fields' texts as one CSV line (CRLF-terminated).
void AppendCsvValues(std::string& out, std::span<const ReportField> fields);
// "name": value pairs separated by ", ", without the braces.
void AppendJsonFields(std::string& out, std::span<const ReportField> fields);

// One line of text for people: every control character (line breaks, tabs,
// escape) a space.
std::string OneLine(std::string_view s);

// Whether a MAC text ("02-00-...") is locally administered, bit 0x02 of its
// first octet: a randomised privacy address rather than a maker's.
bool LocallyAdministered(const std::string& mac);

}  // namespace sweep
