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

struct SweepOptions {
    Subnet subnet;
    std::int32_t rounds = 1;  // at least 1
    bool mac = false;         // every round asks for the MAC address
    ReportFormat format = ReportFormat::Text;
    bool changes = false;  // compare with the kept result of the last sweep
    std::int32_t timeoutMs = kDefaultEchoTimeoutMs;  // each echo's wait for its reply
};

struct SweepArgsError {
    std::string message;  // what was wrong, one line, then SweepUsage() on stderr
    int exitCode = 2;
};

// The sweep's synopsis, for its usage line and Tessor's.
inline constexpr const char* kSweepSynopsis =
    "Tessor --sweep A.B.C [--rounds N] [--mac] [--format text|csv|json] [--changes] "
    "[--timeout MS]";

// The usage line.
std::string SweepUsage();

// args are the program's arguments without its name; "--sweep" is among them.
// Options take their value as the next argument or after "=" (--rounds=3); a
// repeated option counts with its last value.
std::variant<SweepOptions, SweepArgsError> ParseSweepArgs(const std::vector<std::string>& args);

// "A.B.C" with three decimal numbers 0 to 255 (at most three digits each);
// nothing otherwise.
std::optional<Subnet> ParseSubnet(std::string_view text);

// The round count as the window's count box takes it: NumOr of the text with
// default 0, rounded half to even; below 1, or beyond 32 bits, gives 1.
std::int32_t RoundsFromText(const std::string& text);

}  // namespace sweep
