// SPDX-License-Identifier: MIT
// The options of a sweep run from a script (Tessor --sweep), parsed without
// any I/O: the caller prints the error and leaves with its exit code.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sweep {

enum class ReportFormat { Text, Csv, Json };

// The echo's time-out of a script sweep's workers: the window's by default.
inline constexpr std::int32_t kDefaultEchoTimeoutMs = 200;
inline constexpr std::int32_t kMinEchoTimeoutMs = 50;
inline constexpr std::int32_t kMaxEchoTimeoutMs = 5000;

// A subnet A.B.C, three numbers 0 to 255.
struct Subnet {
    std::array<std::uint8_t, 3> octets{};
    // "A.B.C", each number in its shortest decimal form.
    std::string Text() const;
    bool operator==(const Subnet&) const = default;
};

// How many days of sweeps the history keeps (--keep-days).
inline constexpr std::int32_t kDefaultKeepDays = 90;
inline constexpr std::int32_t kMaxKeepDays = 36500;
inline constexpr std::int32_t kMaxRounds = 9999;

// The exit code of a sweep in which a change listed by --fail-on occurred.
inline constexpr int kExitChanged = 3;

struct SweepOptions {
    Subnet subnet;
    std::int32_t rounds = 1;  // 1 to kMaxRounds
    bool mac = false;         // every round asks for the MAC address
    ReportFormat format = ReportFormat::Text;
    bool changes = false;             // show each host's change since the subnet's last sweep
    std::vector<std::string> failOn;  // change kinds that make the exit code kExitChanged
    std::int32_t keepDays = kDefaultKeepDays;
    std::int32_t timeoutMs = kDefaultEchoTimeoutMs;  // each echo's wait for its reply
};

// `Tessor --history`: the subnets, a subnet's devices, or one address's timeline.
struct HistoryOptions {
    std::optional<Subnet> subnet;  // none: the subnets in the history
    int host = 0;                  // 1 to 255: that address's timeline; 0: the subnet's devices
    ReportFormat format = ReportFormat::Text;
};

struct SweepArgsError {
    std::string message;  // what was wrong, one line, then SweepUsage() on stderr
    int exitCode = 2;
};

// The synopses of a sweep and of the history, for their usage lines and Tessor's.
inline constexpr const char* kSweepSynopsis =
    "Tessor --sweep A.B.C [--rounds N] [--mac] [--format text|csv|json] [--changes] "
    "[--fail-on LIST] [--keep-days N] [--timeout MS]";
inline constexpr const char* kHistorySynopsis =
    "Tessor --history [A.B.C | A.B.C.N] [--format text|csv|json]";

// The usage lines.
std::string SweepUsage();
std::string HistoryUsage();

// args are the program's arguments without its name; "--sweep" is among them.
// Options take their value as the next argument or after "=" (--rounds=3); a
// repeated option counts with its last value.
std::variant<SweepOptions, SweepArgsError> ParseSweepArgs(const std::vector<std::string>& args);

// The same for "--history", whose value is optional: without one (the last
// argument, or followed by another option) it lists the subnets.
std::variant<HistoryOptions, SweepArgsError> ParseHistoryArgs(const std::vector<std::string>& args);

// "A.B.C" with three decimal numbers 0 to 255 (at most three digits each);
// nothing otherwise.
std::optional<Subnet> ParseSubnet(std::string_view text);

// A whole number of decimal digits from min to max; nothing otherwise (signs,
// blanks, fractions, exponents included).
std::optional<std::int32_t> ParseWholeNumber(std::string_view text, std::int32_t min,
                                             std::int32_t max);

}  // namespace sweep
