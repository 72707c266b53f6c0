// SPDX-License-Identifier: MIT
#include "sweep/SweepOptions.h"

#include <algorithm>
#include <functional>

#include "sweep/SweepReport.h"

namespace sweep {

namespace {

// Reads `--name value`, `--name=value` and flags from args, calling take(name,
// value) for each; options named in `withValue` take one, those in
// `optionalValue` take one only when the next argument is no option. The
// first error found, or "" when take accepted everything.
std::string ReadOptions(
    const std::vector<std::string>& args, const std::vector<std::string>& withValue,
    const std::vector<std::string>& optionalValue,
    const std::function<std::string(const std::string&, const std::optional<std::string>&)>& take) {
    auto among = [](const std::vector<std::string>& names, const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        const bool takes = among(withValue, name), mayTake = among(optionalValue, name);
        if (!takes && !mayTake && value) return name + " takes no value";
        if (!value && takes) {
            if (i + 1 >= args.size()) return name + " needs a value";
            value = args[++i];
        }
        if (!value && mayTake && i + 1 < args.size() && !args[i + 1].starts_with("--"))
            value = args[++i];
        if (std::string error = take(name, value); !error.empty()) return error;
    }
    return {};
}

std::optional<ReportFormat> FormatOf(const std::string& value) {
    if (value == "text") return ReportFormat::Text;
    if (value == "csv") return ReportFormat::Csv;
    if (value == "json") return ReportFormat::Json;
    return std::nullopt;
}

const char kBadFormat[] = "\" (text, csv or json)";

}  // namespace

std::string SweepUsage() { return std::string("usage: ") + kSweepSynopsis; }
std::string HistoryUsage() { return std::string("usage: ") + kHistorySynopsis; }

std::string Subnet::Text() const {
    return std::to_string(octets[0]) + "." + std::to_string(octets[1]) + "." +
           std::to_string(octets[2]);
}

std::optional<Subnet> ParseSubnet(std::string_view text) {
    Subnet out;
    int parts = 0;
    std::size_t pos = 0;
    while (parts < 3) {
        std::size_t digits = 0;
        int value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + (text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
        out.octets[static_cast<std::size_t>(parts)] = static_cast<std::uint8_t>(value);
        if (++parts == 3) break;
        if (pos >= text.size() || text[pos] != '.') return std::nullopt;
        ++pos;
    }
    if (pos != text.size()) return std::nullopt;
    return out;
}

std::optional<std::int32_t> ParseWholeNumber(std::string_view text, std::int32_t min,
                                             std::int32_t max) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    std::int32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max) return std::nullopt;
    return value;
}

std::variant<SweepOptions, SweepArgsError> ParseSweepArgs(const std::vector<std::string>& args) {
    SweepOptions o;
    bool haveSubnet = false;
    const std::string error = ReadOptions(
        args, {"--sweep", "--rounds", "--format", "--fail-on", "--keep-days", "--timeout"}, {},
        [&](const std::string& name, const std::optional<std::string>& given) -> std::string {
            const std::string value = given.value_or("");
            if (name == "--sweep") {
                auto subnet = ParseSubnet(value);
                if (!subnet)
                    return "not a subnet: \"" + value +
                           "\" (three numbers 0 to 255, such as 192.168.0)";
                o.subnet = *subnet;
                haveSubnet = true;
            } else if (name == "--rounds") {
                auto rounds = ParseWholeNumber(value, 1, kMaxRounds);
                if (!rounds)
                    return "not a round count: \"" + value + "\" (a whole number from 1 to " +
                           std::to_string(kMaxRounds) + ")";
                o.rounds = *rounds;
            } else if (name == "--format") {
                auto format = FormatOf(value);
                if (!format) return "unknown format: \"" + value + kBadFormat;
                o.format = *format;
            } else if (name == "--timeout") {
                // Whole milliseconds only: a typo must not become another wait.
                auto ms = ParseWholeNumber(value, kMinEchoTimeoutMs, kMaxEchoTimeoutMs);
                if (!ms)
                    return "not a time-out: \"" + value + "\" (" +
                           std::to_string(kMinEchoTimeoutMs) + " to " +
                           std::to_string(kMaxEchoTimeoutMs) + " milliseconds)";
                o.timeoutMs = *ms;
            } else if (name == "--mac") {
                o.mac = true;
            } else if (name == "--changes") {
                o.changes = true;
            } else if (name == "--fail-on") {
                o.failOn.clear();
                std::size_t from = 0;
                for (;;) {
                    const std::size_t comma = std::min(value.find(',', from), value.size());
                    const std::string kind = value.substr(from, comma - from);
                    if (std::find(std::begin(kChangeKinds), std::end(kChangeKinds), kind) ==
                        std::end(kChangeKinds))
                        return "not a change: \"" + kind +
                               "\" in --fail-on (a comma list of "
                               "new, moved, mac, up and down)";
                    o.failOn.push_back(kind);
                    if (comma == value.size()) break;
                    from = comma + 1;
                }
                // What makes the exit code is shown in the report too.
                o.changes = true;
            } else if (name == "--keep-days") {
                auto days = ParseWholeNumber(value, 1, kMaxKeepDays);
                if (!days)
                    return "not a number of days: \"" + value + "\" (a whole number from 1 to " +
                           std::to_string(kMaxKeepDays) + ")";
                o.keepDays = *days;
            } else {
                return "unknown option: \"" + name + "\"";
            }
            return {};
        });
    if (!error.empty()) return SweepArgsError{error, 2};
    if (!haveSubnet) return SweepArgsError{"--sweep needs the subnet A.B.C", 2};
    return o;
}

std::variant<HistoryOptions, SweepArgsError> ParseHistoryArgs(
    const std::vector<std::string>& args) {
    HistoryOptions o;
    bool seen = false;
    const std::string error = ReadOptions(
        args, {"--format"}, {"--history"},
        [&](const std::string& name, const std::optional<std::string>& value) -> std::string {
            if (name == "--history") {
                seen = true;
                o.subnet.reset();
                o.host = 0;
                if (!value || value->empty()) return {};
                // A.B.C, or A.B.C.N with N from 1 to 255.
                std::string_view text = *value;
                if (std::count(text.begin(), text.end(), '.') == 3) {
                    const std::size_t dot = text.rfind('.');
                    const std::string_view number = text.substr(dot + 1);
                    if (const auto host = ParseWholeNumber(number, 1, 255);
                        host && number.size() <= 3)
                        o.host = *host;
                    else
                        o.host = -1;
                    text = text.substr(0, dot);
                }
                o.subnet = ParseSubnet(text);
                if (!o.subnet || o.host < 0)
                    return "not a subnet or an address: \"" + *value +
                           "\" (A.B.C or A.B.C.N, such as 192.168.0 or 192.168.0.7)";
            } else if (name == "--format") {
                auto format = FormatOf(value.value_or(""));
                if (!format) return "unknown format: \"" + value.value_or("") + kBadFormat;
                o.format = *format;
            } else {
                return "\"" + name + "\" does not go with --history";
            }
            return {};
        });
    if (!error.empty()) return SweepArgsError{error, 2};
    if (!seen) return SweepArgsError{"--history is missing", 2};
    return o;
}

}  // namespace sweep
