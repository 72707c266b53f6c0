// SPDX-License-Identifier: MIT
// A loosely typed value, as the main window keeps per host (a cell colour) and
// as the helpers of Func take them: empty (never assigned), Null (no value), a
// boolean, a 32-bit integer, a double or a text (UTF-8).
//
// Conversions follow the loose rules the window relies on: a text turns into
// the number it spells, numbers print in their shortest decimal form, and the
// conversion to a 32-bit integer rounds halves to the even neighbour. Every
// conversion that can fail says so with an empty optional instead of throwing.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace sweep {

class Value {
  public:
    enum class Kind { Empty, Null, Boolean, Int32, Double, Text };

    Value() = default;  // empty
    Value(bool b) : v_(b) {}
    Value(double d) : v_(d) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    // Any integer: a 32-bit integer when it fits, else a double (exact up to 2^53),
    // so a colour written as 0x00C8C8C8 or an unsigned count both just work.
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>) Value(T n) {
        if (std::in_range<std::int32_t>(n))
            v_ = static_cast<std::int32_t>(n);
        else
            v_ = static_cast<double>(n);
    }

    static Value Null() {
        Value v;
        v.v_ = NullTag{};
        return v;
    }

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool IsEmpty() const { return kind() == Kind::Empty; }
    bool IsNull() const { return kind() == Kind::Null; }
    bool IsNumber() const { return kind() == Kind::Int32 || kind() == Kind::Double; }
    bool IsText() const { return kind() == Kind::Text; }

    // The value as a number: empty gives 0, a boolean 0 or -1 (true), a text the
    // number it spells (see ParseNumber). Null and any other text fail.
    std::optional<double> ToNumber() const;

    // The value as text: empty gives "", a boolean "True"/"False", a number its
    // shortest decimal form. Only Null fails.
    std::optional<std::string> ToText() const;

    // ToNumber rounded to the nearest integer, halves to the even neighbour
    // (2.5 gives 2, 3.5 gives 4). Fails when not a number or out of range.
    std::optional<std::int32_t> ToInt32() const;

    // Direct access; each is meaningful only for its kind.
    bool AsBool() const { return std::get<bool>(v_); }
    std::int32_t AsInt32() const { return std::get<std::int32_t>(v_); }
    double AsDouble() const { return std::get<double>(v_); }
    const std::string& AsText() const { return std::get<std::string>(v_); }

    // Same kind and same content (an Int32 2 differs from a Double 2).
    bool operator==(const Value& other) const = default;

  private:
    struct NullTag {
        bool operator==(const NullTag&) const = default;
    };
    // Order matches Kind.
    std::variant<std::monostate, NullTag, bool, std::int32_t, double, std::string> v_;
};

// The number a text spells: optional blanks (spaces, tabs), an optional sign,
// digits with at most one decimal point (at least one digit), an optional
// exponent (e or E, optional sign, digits), optional blanks. Anything else,
// the empty text included, and a magnitude beyond a double, fail.
std::optional<double> ParseNumber(std::string_view text);

// The shortest decimal text that reads back as d: 192, 1.5, -0.25, 1E+15,
// 1.5E-07 (exponent form from 1E+15 up and below 1E-05).
std::string FormatNumber(double d);

// Rounds to the nearest integer, halves to the even neighbour; independent of
// the floating-point rounding mode.
double RoundHalfEven(double d);

// RoundHalfEven into a 32-bit integer; fails for NaN and out of range.
std::optional<std::int32_t> RoundToInt32(double d);

}  // namespace sweep
