// SPDX-License-Identifier: MIT
#include "sweep/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace sweep;

TEST(ParseNumber, AcceptsTheNumberATextSpells) {
    EXPECT_EQ(ParseNumber("192"), 192.0);
    EXPECT_EQ(ParseNumber("  12 \t"), 12.0);
    EXPECT_EQ(ParseNumber("\t-1.5e3"), -1500.0);
    EXPECT_EQ(ParseNumber("+.5"), 0.5);
    EXPECT_EQ(ParseNumber("5."), 5.0);
    EXPECT_EQ(ParseNumber("001"), 1.0);
    EXPECT_EQ(ParseNumber("1E+2"), 100.0);
    EXPECT_EQ(ParseNumber("2.5E-1"), 0.25);
    // Beyond the smallest double: zero, not a failure.
    EXPECT_EQ(ParseNumber("1e-400"), 0.0);
    EXPECT_EQ(ParseNumber("0.0000001e-400"), 0.0);
    EXPECT_EQ(ParseNumber("0e99999"), 0.0);
}

TEST(ParseNumber, RefusesEverythingElse) {
    for (const char* t : {"",       "   ",
                          "abc",    ".",
                          "+",      "-",
                          "e5",     "1e",
                          "1e+",    "1.2.3",
                          "0x10",   "inf",
                          "nan",    "Infinity",
                          "12abc",  "1 2",
                          "1,5",    "--1",
                          "1e5.5",  "1e400",
                          "-1e400", "12345678901234567890e300"})
        EXPECT_FALSE(ParseNumber(t).has_value()) << "'" << t << "'";
}

TEST(FormatNumber, GivesTheShortestDecimalForm) {
    EXPECT_EQ(FormatNumber(192), "192");
    EXPECT_EQ(FormatNumber(1.5), "1.5");
    EXPECT_EQ(FormatNumber(-0.25), "-0.25");
    EXPECT_EQ(FormatNumber(-0.0), "0");
    EXPECT_EQ(FormatNumber(0.1), "0.1");
    EXPECT_EQ(FormatNumber(1e10), "10000000000");
    EXPECT_EQ(FormatNumber(123456789012345.0), "123456789012345");
    EXPECT_EQ(FormatNumber(1e15), "1E+15");
    EXPECT_EQ(FormatNumber(1.25e20), "1.25E+20");
    EXPECT_EQ(FormatNumber(0.00001), "0.00001");
    EXPECT_EQ(FormatNumber(1.5e-7), "1.5E-07");
    EXPECT_EQ(FormatNumber(1e-300), "1E-300");
    // Every double reads back as itself.
    for (double d : {0.1 + 0.2, 1.0 / 3, 2.0 / 3 * 1e-7, 123.456, 9007199254740993.0})
        EXPECT_EQ(ParseNumber(FormatNumber(d)), d) << FormatNumber(d);
}

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(3.5), 4);
    EXPECT_EQ(RoundHalfEven(0.5), 0);
    EXPECT_EQ(RoundHalfEven(1.5), 2);
    EXPECT_EQ(RoundHalfEven(-2.5), -2);
    EXPECT_EQ(RoundHalfEven(-3.5), -4);
    EXPECT_EQ(RoundHalfEven(127.5), 128);
    EXPECT_EQ(RoundHalfEven(229.5), 230);
    EXPECT_EQ(RoundHalfEven(2.5000001), 3);
    EXPECT_EQ(RoundHalfEven(2.4999999), 2);
    EXPECT_EQ(RoundHalfEven(4503599627370497.0), 4503599627370497.0);
}

TEST(RoundToInt32, FailsOutsideTheRange) {
    EXPECT_EQ(RoundToInt32(2147483647.4), 2147483647);
    EXPECT_FALSE(RoundToInt32(2147483647.5).has_value());  // rounds to 2^31
    EXPECT_EQ(RoundToInt32(-2147483648.5), std::numeric_limits<std::int32_t>::min());
    EXPECT_FALSE(RoundToInt32(-2147483649.0).has_value());
    EXPECT_FALSE(RoundToInt32(1e10).has_value());
    EXPECT_FALSE(RoundToInt32(std::nan("")).has_value());
    EXPECT_FALSE(RoundToInt32(std::numeric_limits<double>::infinity()).has_value());
}

TEST(Value, ConvertsEachKind) {
    EXPECT_EQ(Value().ToNumber(), 0.0);
    EXPECT_EQ(Value().ToText(), "");
    EXPECT_FALSE(Value::Null().ToNumber().has_value());
    EXPECT_FALSE(Value::Null().ToText().has_value());
    EXPECT_FALSE(Value::Null().ToInt32().has_value());
    EXPECT_EQ(Value(true).ToNumber(), -1.0);
    EXPECT_EQ(Value(true).ToText(), "True");
    EXPECT_EQ(Value(false).ToInt32(), 0);
    EXPECT_EQ(Value(5).ToText(), "5");
    EXPECT_EQ(Value(2.5).ToInt32(), 2);
    EXPECT_EQ(Value("3.5").ToInt32(), 4);
    EXPECT_EQ(Value(" 10 ").ToNumber(), 10.0);
    EXPECT_FALSE(Value("abc").ToNumber().has_value());
    EXPECT_FALSE(Value("").ToNumber().has_value());
    EXPECT_FALSE(Value("1e10").ToInt32().has_value());
    EXPECT_EQ(Value(std::string("x")).ToText(), "x");
}

TEST(Value, IntegersKeepTheirValue) {
    EXPECT_EQ(Value(0x00C8C8C8).kind(), Value::Kind::Int32);
    EXPECT_EQ(Value(0x00C8C8C8).ToInt32(), 0x00C8C8C8);
    Value big(4000000000u);
    EXPECT_EQ(big.kind(), Value::Kind::Double);
    EXPECT_EQ(big.ToNumber(), 4000000000.0);
    EXPECT_FALSE(big.ToInt32().has_value());
    EXPECT_NE(Value(2), Value(2.0));  // same number, other kind
    EXPECT_EQ(Value("a"), Value(std::string("a")));
}

}  // namespace
