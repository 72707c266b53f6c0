// SPDX-License-Identifier: MIT
#include "sweep/value.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

namespace sweep {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<double> ParseNumber(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && IsBlank(text[b])) ++b;
    while (e > b && IsBlank(text[e - 1])) --e;
    std::string_view t = text.substr(b, e - b);

    // Check the whole grammar first: from_chars alone would accept "inf",
    // "nan" and hex, and stop quietly at trailing junk.
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    const std::size_t bodyStart = i;
    long digits = 0;
    long fracDigits = 0;
    // The leading significant digit stands for 10^(lead - 1) before the exponent.
    bool seenNonZero = false;
    long lead = 0;
    long intDigits = 0;  // from the first significant one
    bool point = false;
    for (; i < t.size(); ++i) {
        if (IsDigit(t[i])) {
            ++digits;
            if (point) ++fracDigits;
            if (t[i] != '0' && !seenNonZero) {
                seenNonZero = true;
                lead = point ? 1 - fracDigits : 0;
            }
            if (!point && seenNonZero) ++intDigits;
        } else if (t[i] == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0) return std::nullopt;
    long exponent = 0;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        bool expNegative = false;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) expNegative = t[i++] == '-';
        if (i == t.size() || !IsDigit(t[i])) return std::nullopt;
        for (; i < t.size() && IsDigit(t[i]); ++i)
            if (exponent < 100000) exponent = exponent * 10 + (t[i] - '0');
        if (expNegative) exponent = -exponent;
    }
    if (i != t.size()) return std::nullopt;

    std::string_view body = t.substr(bodyStart);
    double d = 0;
    auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), d);
    if (ec == std::errc::result_out_of_range) {
        // Too small underflows to zero; too large is not a number we can hold.
        if (!seenNonZero || (intDigits > 0 ? intDigits : lead) - 1 + exponent < 0)
            return negative ? -0.0 : 0.0;
        return std::nullopt;
    }
    if (ec != std::errc() || ptr != body.data() + body.size()) return std::nullopt;
    return negative ? -d : d;
}

std::string FormatNumber(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
    if (d == 0) return "0";  // also -0
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    // sci is [-]d[.ddd]e[+-]xx with the fewest digits that read back as d.
    std::string out;
    std::size_t pos = 0;
    if (sci[0] == '-') {
        out = "-";
        pos = 1;
    }
    const std::size_t ePos = sci.find('e');
    std::string digits;
    for (std::size_t k = pos; k < ePos; ++k)
        if (sci[k] != '.') digits += sci[k];
    // The exponent as to_chars wrote it: a sign, then digits (from_chars takes no "+").
    std::size_t expPos = ePos + 1;
    if (sci[expPos] == '+') ++expPos;
    int exp10 = 0;
    std::from_chars(sci.data() + expPos, sci.data() + sci.size(), exp10);

    if (exp10 >= 15 || exp10 < -5) {
        out += digits[0];
        if (digits.size() > 1) out += "." + digits.substr(1);
        out += exp10 < 0 ? "E-" : "E+";
        const int a = std::abs(exp10);
        if (a < 10) out += '0';
        out += std::to_string(a);
    } else if (exp10 < 0) {
        out += "0." + std::string(static_cast<std::size_t>(-exp10 - 1), '0') + digits;
    } else {
        const std::size_t intLen = static_cast<std::size_t>(exp10) + 1;
        if (digits.size() <= intLen) {
            out += digits + std::string(intLen - digits.size(), '0');
        } else {
            out += digits.substr(0, intLen) + "." + digits.substr(intLen);
        }
    }
    return out;
}

double RoundHalfEven(double d) {
    if (!std::isfinite(d)) return d;
    const double f = std::floor(d);
    const double diff = d - f;  // exact: f is within one unit of d
    if (diff < 0.5) return f;
    if (diff > 0.5) return f + 1;
    return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

std::optional<std::int32_t> RoundToInt32(double d) {
    if (std::isnan(d)) return std::nullopt;
    const double r = RoundHalfEven(d);
    if (r < -2147483648.0 || r > 2147483647.0) return std::nullopt;
    return static_cast<std::int32_t>(r);
}

std::optional<double> Value::ToNumber() const {
    switch (kind()) {
        case Kind::Empty:
            return 0.0;
        case Kind::Null:
            return std::nullopt;
        case Kind::Boolean:
            return AsBool() ? -1.0 : 0.0;
        case Kind::Int32:
            return static_cast<double>(AsInt32());
        case Kind::Double:
            return AsDouble();
        case Kind::Text:
            return ParseNumber(AsText());
    }
    return std::nullopt;
}

std::optional<std::string> Value::ToText() const {
    switch (kind()) {
        case Kind::Empty:
            return std::string();
        case Kind::Null:
            return std::nullopt;
        case Kind::Boolean:
            return std::string(AsBool() ? "True" : "False");
        case Kind::Int32:
            return std::to_string(AsInt32());
        case Kind::Double:
            return FormatNumber(AsDouble());
        case Kind::Text:
            return AsText();
    }
    return std::nullopt;
}

std::optional<std::int32_t> Value::ToInt32() const {
    if (kind() == Kind::Int32) return AsInt32();
    auto n = ToNumber();
    if (!n) return std::nullopt;
    return RoundToInt32(*n);
}

}  // namespace sweep
