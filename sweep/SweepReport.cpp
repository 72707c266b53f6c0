// SPDX-License-Identifier: MIT
#include "sweep/SweepReport.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "platform/files/codepage.h"
#include "sweep/Csv.h"
#include "sweep/Vendors.h"

namespace sweep {

namespace {

std::string PadTo(std::string s, std::size_t width) {
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

// A host's fields, in the order of the JSON objects and the CSV columns.
std::array<ReportField, 14> Fields(const HostResult& h) {
    return {{{"host", std::to_string(h.host), true},
             {"ip", h.ip, false},
             {"answered", std::to_string(h.answered), true},
             {"rounds", std::to_string(h.rounds), true},
             {"share", std::to_string(SharePercent(h.answered, h.rounds)), true},
             {"mac", h.mac, false},
             {"vendor", h.vendor, false},
             {"remark", h.remark, false},
             {"change", h.change, false},
             {"seen", h.seen, false},
             {"name", h.name, false},
             {"local_mac", LocallyAdministered(h.mac) ? "true" : "false", true},
             {"previous_mac", h.previousMac, false},
             {"previous_ip", h.previousIp, false}}};
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view s) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const std::size_t n = platform::Utf8SeqLen(s, i);
            if (n == 0) {
                out += "\xEF\xBF\xBD";
                ++i;
            } else {
                out.append(s.substr(i, n));
                i += n;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
}

void AppendCsvNames(std::string& out, std::span<const ReportField> fields) {
    // Piece by piece: a "," + std::string chain trips GCC 12's false
    // -Wrestrict at -O3.
    const char* sep = "";
    for (const ReportField& f : fields) {
        out += sep;
        sep = ",";
        out += f.name;
    }
    out += "\r\n";
}

void AppendCsvValues(std::string& out, std::span<const ReportField> fields) {
    const char* sep = "";
    for (const ReportField& f : fields) {
        out += sep;
        sep = ",";
        if (f.bare)
            out += f.text;
        else
            AppendCsvField(out, f.text);
    }
    out += "\r\n";
}

void AppendJsonFields(std::string& out, std::span<const ReportField> fields) {
    const char* sep = "";
    for (const ReportField& f : fields) {
        out += sep;
        sep = ", ";
        AppendJsonString(out, f.name);
        out += ": ";
        if (f.bare)
            out += f.text;
        else
            AppendJsonString(out, f.text);
    }
}

std::string OneLine(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return out;
}

std::int32_t SharePercent(std::int32_t answered, std::int32_t rounds) {
    if (rounds <= 0) return 0;
    return static_cast<std::int32_t>(std::floor(static_cast<double>(answered) / rounds * 100));
}

std::string Iso8601Utc(std::chrono::system_clock::time_point t) {
    // By calendar arithmetic rather than gmtime and strftime: an address's
    // timeline writes two for each of thousands of spans.
    using namespace std::chrono;
    const auto secs = floor<seconds>(t);
    const auto day = floor<days>(secs);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{secs - day};
    std::string out = "0000-00-00T00:00:00Z";
    auto put = [&out](std::size_t at, int width, long long value) {
        for (std::size_t i = at + static_cast<std::size_t>(width); i-- > at; value /= 10)
            out[i] = static_cast<char>('0' + value % 10);
    };
    put(0, 4, static_cast<int>(date.year()));
    put(5, 2, static_cast<unsigned>(date.month()));
    put(8, 2, static_cast<unsigned>(date.day()));
    put(11, 2, time.hours().count());
    put(14, 2, time.minutes().count());
    put(17, 2, time.seconds().count());
    return out;
}

std::string WriteJson(const SweepResult& r) {
    std::string out = "{\"subnet\": ";
    AppendJsonString(out, r.subnet);
    out += ", \"rounds\": " + std::to_string(r.rounds) + ", \"started\": ";
    AppendJsonString(out, Iso8601Utc(r.started));
    out += ", \"hosts\": [";
    bool first = true;
    for (const HostResult& h : r.hosts) {
        out += first ? "\n  {" : ",\n  {";
        first = false;
        AppendJsonFields(out, Fields(h));
        out += "}";
    }
    out += "\n]}\n";
    return out;
}

std::string WriteCsv(const SweepResult& r) {
    std::string out;
    AppendCsvNames(out, Fields(HostResult{}));
    for (const HostResult& h : r.hosts) AppendCsvValues(out, Fields(h));
    return out;
}

std::string WriteText(const SweepResult& r) {
    const auto arpOnly = [](const HostResult& h) { return h.seen == "arp"; };
    const auto listed = [&](const HostResult& h) {
        return h.answered > 0 || arpOnly(h) || (r.changes && h.change == "down");
    };
    // Names get a column of their own only when a listed host has one.
    std::size_t nameWidth = 0;
    for (const HostResult& h : r.hosts)
        if (listed(h)) nameWidth = std::max(nameWidth, OneLine(h.name).size());
    std::string out;
    int answered = 0, byArp = 0;
    std::array<int, std::size(kChangeKinds)> changed{};
    bool marked = false;
    // The hosts seen by ARP only come after the others.
    for (const bool arpPass : {false, true}) {
        for (const HostResult& h : r.hosts) {
            if (!arpPass) {
                if (h.answered > 0) ++answered;
                if (arpOnly(h)) ++byArp;
                for (std::size_t k = 0; k < changed.size(); ++k)
                    changed[k] += h.change == kChangeKinds[k];
            }
            if (!listed(h) || arpOnly(h) != arpPass) continue;
            const std::string share =
                arpPass ? "arp" : std::to_string(SharePercent(h.answered, h.rounds)) + "%";
            const bool local = LocallyAdministered(h.mac);
            marked = marked || local;
            std::string line = PadTo(OneLine(h.ip), 15) + "  " +
                               std::string(4 - std::min<std::size_t>(4, share.size()), ' ') +
                               share + "  " + PadTo(OneLine(h.mac), 17) + (local ? "* " : "  ");
            if (nameWidth > 0) line += PadTo(OneLine(h.name), nameWidth) + "  ";
            line += OneLine(h.vendor);
            if (!h.remark.empty()) line += "  " + OneLine(h.remark);
            if (r.changes && !h.change.empty()) {
                line += "  [" + h.change;
                if (!h.previousIp.empty()) line += " from " + OneLine(h.previousIp);
                if (!h.previousMac.empty()) line += ", was " + OneLine(h.previousMac);
                line += "]";
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            out += line + "\n";
        }
    }
    char took[32];
    std::snprintf(took, sizeof took, "%.2f s", r.seconds);
    out += r.subnet + ".0/24: " + std::to_string(answered) + " of " +
           std::to_string(r.hosts.size()) + " answered, ";
    if (byArp > 0) out += std::to_string(byArp) + " by ARP only, ";
    out += std::to_string(r.rounds) + (r.rounds == 1 ? " round, " : " rounds, ") + took;
    if (r.changes) {
        out += "; changed:";
        for (std::size_t k = 0; k < changed.size(); ++k)
            out += std::string(k ? ", " : " ") + std::to_string(changed[k]) + " " + kChangeKinds[k];
    }
    out += "\n";
    if (marked) out += "* a locally administered MAC, such as a randomised privacy address\n";
    return out;
}

bool LocallyAdministered(const std::string& mac) {
    const auto value = ParseMac(mac);
    return value && *value != 0 && ((*value >> 40) & 0x02) != 0;
}

}  // namespace sweep
