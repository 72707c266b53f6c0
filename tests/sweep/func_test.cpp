// SPDX-License-Identifier: MIT
#include "sweep/Func.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

using namespace sweep;

TEST(StrOr, GivesTheTextOrTheDefault) {
    EXPECT_EQ(StrOr(Value::Null(), "dflt"), "dflt");
    EXPECT_EQ(StrOr(Value(5), ""), "5");
    EXPECT_EQ(StrOr(Value(1.5), ""), "1.5");
    EXPECT_EQ(StrOr(Value(), "x"), "");
    EXPECT_EQ(StrOr(Value("abc"), "x"), "abc");
}

TEST(NumOr, NeverFailsOnTheTextsTheWindowsFeedIt) {
    EXPECT_EQ(NumOr(Value("abc"), 0.0), 0);
    EXPECT_EQ(NumOr(Value(""), 0.0), 0);
    EXPECT_EQ(NumOr(Value::Null(), 0.0), 0);
    EXPECT_EQ(NumOr(Value("192"), 0.0), 192);
    EXPECT_EQ(NumOr(Value("2.5"), 0.0), 2.5);
    EXPECT_EQ(NumOr(Value("abc"), 7.0), 7);
    // An octet box: the number written back in decimal, leading zeros gone.
    auto octet = [](const char* box) { return FormatNumber(NumOr(Value(box), 0.0)); };
    EXPECT_EQ(octet("001"), "1");
    EXPECT_EQ(octet("1.5"), "1.5");
    EXPECT_EQ(octet("abc"), "0");
    EXPECT_EQ(octet(""), "0");
    EXPECT_EQ(octet(" 168 "), "168");
    // The round count: NumOr, then half-to-even into 32 bits.
    auto count = [](const char* box) { return RoundToInt32(NumOr(Value(box), 0.0)); };
    EXPECT_EQ(count("0"), 0);
    EXPECT_EQ(count("-3"), -3);
    EXPECT_EQ(count("2.5"), 2);
    EXPECT_EQ(count("3.5"), 4);
    EXPECT_FALSE(count("1e10").has_value());
}

TEST(NumOr, KeepsTheKindOfANumberAndGivesTheDefaultValue) {
    EXPECT_EQ(NumOr(Value(0x00FF00), Value(0)), Value(0x00FF00));
    EXPECT_EQ(NumOr(Value(2.5), Value(0)), Value(2.5));
    EXPECT_EQ(NumOr(Value("10"), Value(0)), Value(10.0));
    EXPECT_EQ(NumOr(Value(true), Value(0)), Value(-1));
    EXPECT_EQ(NumOr(Value(), Value(9)), Value(0));
    EXPECT_EQ(NumOr(Value::Null(), Value(9)), Value(9));
    EXPECT_EQ(NumOr(Value("x"), Value::Null()), Value::Null());
    // A cell colour that is Null or junk draws black.
    EXPECT_EQ(NumOr(Value::Null(), Value(0)).ToInt32(), 0);
    EXPECT_EQ(NumOr(Value("junk"), Value(0)).ToInt32(), 0);
}

TEST(PadRight, FillsOrCutsToExactlyTheWidth) {
    EXPECT_EQ(PadRight(Value(7), 4, " "), "7   ");
    EXPECT_EQ(PadRight(Value("00-1A-2B-3C-4D-5E"), 20, " "), "00-1A-2B-3C-4D-5E   ");
    EXPECT_EQ(PadRight(Value("ABCDEFGHIJKLMNOPQRSTUVWXY"), 20, " "), "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(PadRight(Value("ab"), 5, "-x"), "ab---");
    EXPECT_EQ(PadRight(Value::Null(), 3, "."), "...");
    EXPECT_EQ(PadRight(Value("ab"), 0, " "), "");
    EXPECT_EQ(PadRight(Value("ab"), -3, " "), "");
    EXPECT_EQ(PadRight(Value("ab"), 3, ""), "ab ");
    // Characters, not bytes: a Chinese remark is never cut inside a character.
    EXPECT_EQ(PadRight(Value("机房二楼"), 3, " "), "机房二");
    EXPECT_EQ(PadRight(Value("机"), 3, "·"), "机··");
    // A byte that starts no valid sequence is one character and takes no other with it.
    EXPECT_EQ(PadRight(Value("\xE4"
                             "AB"),
                       3, "."),
              "\xE4"
              "AB");
    EXPECT_EQ(PadRight(Value("\xE6\x9C"), 3, "."), "\xE6\x9C.");
}

TEST(MixColor, MixesEachChannelHalfToEven) {
    EXPECT_EQ(MixColor(0x000000FF, 0x0000FF00, 50), 0x00008080);
    EXPECT_EQ(MixColor(0x000000FF, 0x0000FF00, 10), 0x00001AE6);
    // 30 % gives red 178.5 and green 76.5: both go down to the even neighbour,
    // where rounding halves up would give 179 and 77.
    const std::int32_t c30 = MixColor(0x000000FF, 0x0000FF00, 30);
    EXPECT_EQ(c30 & 0xFF, 178);
    EXPECT_EQ((c30 >> 8) & 0xFF, 76);
    EXPECT_EQ(c30 >> 16, 0);
    EXPECT_EQ(MixColor(0x00123456, 0x00ABCDEF, 0), 0x00123456);
    EXPECT_EQ(MixColor(0x00123456, 0x00ABCDEF, 100), 0x00ABCDEF);
    EXPECT_EQ(MixColor(0x0000FF00, 0x000000FF, 0), 0x0000FF00);
    // The sweep's percentages stay between red and green, blue untouched.
    for (int p : {10, 36, 50, 57, 63, 90}) {
        std::int32_t c = MixColor(0x000000FF, 0x0000FF00, p);
        EXPECT_EQ(c & 0xFF0000, 0);
        EXPECT_NEAR((c & 0xFF) + ((c >> 8) & 0xFF), 255, 1) << p;
    }
    // Out-of-range input still yields a colour.
    EXPECT_EQ(MixColor(0x000000FF, 0x0000FF00, 150), 0x0000FF00);
    EXPECT_EQ(MixColor(0x000000FF, 0x0000FF00, -5), 0x000000FF);
    EXPECT_EQ(MixColor(0x7F0000FF, 0x0000FF00, 0), 0x000000FF);
}

// Runs body under the given locale and restores the previous one.
template <class F>
void InLocale(const char* name, F body) {
    std::string old = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, name)) GTEST_SKIP() << name << " is not generated";
    body();
    std::setlocale(LC_ALL, old.c_str());
}

TEST(AnsiLen, CountsBytesOfTheLocalesCodePage) {
    InLocale("zh_CN.gbk", [] {
        EXPECT_EQ(AnsiLen("123"), 3);
        EXPECT_EQ(AnsiLen("机房"), 4);
        EXPECT_EQ(AnsiLen("a机"), 3);
    });
    InLocale("C.utf8", [] {
        EXPECT_EQ(AnsiLen("123"), 3);
        EXPECT_EQ(AnsiLen("机房"), 6);
    });
    EXPECT_EQ(AnsiLen(""), 0);
}

}  // namespace
