#include "sweep/SweepOptions.h"

#include <charconv>

#include "sweep/Sweep.h"

namespace sweep {

std::string SweepUsage() { return std::string("usage: ") + kSweepSynopsis; }

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

std::int32_t RoundsFromText(const std::string& text) { return RoundCountOf(text).value_or(1); }

std::variant<SweepOptions, SweepArgsError> ParseSweepArgs(const std::vector<std::string>& args) {
    SweepOptions o;
    bool haveSubnet = false;
    auto fail = [](std::string message) { return SweepArgsError{std::move(message), 2}; };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        const bool takesValue =
            name == "--sweep" || name == "--rounds" || name == "--format" || name == "--timeout";
        if (!takesValue && inlineValue) return fail(name + " takes no value");
        std::string value;
        if (takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return fail(name + " needs a value");
            }
        }
        if (name == "--sweep") {
            auto subnet = ParseSubnet(value);
            if (!subnet)
                return fail("not a subnet: \"" + value +
                            "\" (three numbers 0 to 255, such as 192.168.0)");
            o.subnet = *subnet;
            haveSubnet = true;
        } else if (name == "--rounds") {
            o.rounds = RoundsFromText(value);
        } else if (name == "--format") {
            if (value == "text")
                o.format = ReportFormat::Text;
            else if (value == "csv")
                o.format = ReportFormat::Csv;
            else if (value == "json")
                o.format = ReportFormat::Json;
            else
                return fail("unknown format: \"" + value + "\" (text, csv or json)");
        } else if (name == "--timeout") {
            // Whole milliseconds only: a typo must not become another wait.
            std::int32_t ms = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
            if (ec != std::errc() || end != value.data() + value.size() || ms < kMinEchoTimeoutMs ||
                ms > kMaxEchoTimeoutMs)
                return fail("not a time-out: \"" + value + "\" (" +
                            std::to_string(kMinEchoTimeoutMs) + " to " +
                            std::to_string(kMaxEchoTimeoutMs) + " milliseconds)");
            o.timeoutMs = ms;
        } else if (name == "--mac") {
            o.mac = true;
        } else if (name == "--changes") {
            o.changes = true;
        } else {
            return fail("unknown option: \"" + args[i] + "\"");
        }
    }
    if (!haveSubnet) return fail("--sweep needs the subnet A.B.C");
    return o;
}

}  // namespace sweep
