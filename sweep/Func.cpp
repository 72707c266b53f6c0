// SPDX-License-Identifier: MIT
#include "sweep/Func.h"

#include <algorithm>
#include <cmath>

#include "platform/files/codepage.h"

namespace sweep {

namespace {

// The byte length of the first `chars` code points of s; `counted` tells how
// many there were. A byte that starts no valid sequence counts as one, as it
// shows as one replacement character, so malformed text is never overrun.
std::size_t CutAfter(const std::string& s, std::size_t chars, std::size_t& counted) {
    std::size_t pos = 0;
    counted = 0;
    while (pos < s.size() && counted < chars) {
        const std::size_t n = platform::Utf8SeqLen(s, pos);
        pos += n == 0 ? 1 : n;
        ++counted;
    }
    return pos;
}

double Channel(std::int32_t color, int shift) {
    return (static_cast<std::uint32_t>(color) >> shift) & 0xFF;
}

}  // namespace

std::string StrOr(const Value& v, const std::string& def) {
    auto t = v.ToText();
    return t ? *t : def;
}

Value NumOr(const Value& v, const Value& def) {
    switch (v.kind()) {
        case Value::Kind::Int32:
        case Value::Kind::Double:
            return v;
        case Value::Kind::Empty:
            return Value(0);
        case Value::Kind::Boolean:
            return Value(v.AsBool() ? -1 : 0);
        default:
            break;
    }
    auto n = v.ToNumber();
    return n ? Value(*n) : def;
}

double NumOr(const Value& v, double def) {
    auto n = v.ToNumber();
    return n ? *n : def;
}

std::string PadRight(const Value& v, int width, const std::string& padChar) {
    if (width <= 0) return std::string();
    const std::string text = StrOr(v, "");
    std::size_t counted = 0;
    const std::size_t cut = CutAfter(text, static_cast<std::size_t>(width), counted);
    std::string out = text.substr(0, cut);
    std::string pad = " ";
    if (!padChar.empty()) {
        std::size_t one = 0;
        pad = padChar.substr(0, CutAfter(padChar, 1, one));
    }
    for (std::size_t k = counted; k < static_cast<std::size_t>(width); ++k) out += pad;
    return out;
}

std::int32_t MixColor(std::int32_t colorA, std::int32_t colorB, double percent) {
    if (std::isnan(percent)) percent = 0;
    percent = std::clamp(percent, 0.0, 100.0);
    std::int32_t result = 0;
    for (int shift : {0, 8, 16}) {
        const double a = Channel(colorA, shift);
        const double b = Channel(colorB, shift);
        // Left to right as written: (a - b) * percent, then / 100.
        const double c = RoundHalfEven(a - (a - b) * percent / 100);
        result |= static_cast<std::int32_t>(std::clamp(c, 0.0, 255.0)) << shift;
    }
    return result;
}

std::int32_t AnsiLen(const std::string& utf8) {
    return static_cast<std::int32_t>(platform::ToAnsi(utf8).size());
}

}  // namespace sweep
