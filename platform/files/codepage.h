// SPDX-License-Identifier: MIT
// The "ANSI code page": the character set of the user's locale, in which the
// slots and the profile files hold their text. Inside the programs text is
// UTF-8; these two functions convert at the boundary. The C/POSIX locale
// counts as UTF-8, as Qt 6 and Python treat it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// The locale's character set name as iconv knows it ("UTF-8", "GBK", ...).
// Call setlocale(LC_ALL, "") first for the user's locale.
std::string AnsiCharset();

// UTF-8 to the ANSI code page; a character the code page lacks becomes "?".
std::string ToAnsi(std::string_view utf8);

// The ANSI code page to UTF-8; a byte sequence that is not valid there becomes
// U+FFFD, so bytes from another process never yield malformed UTF-8.
std::string FromAnsi(std::string_view ansi);

// The length (1 to 4) of the valid UTF-8 sequence that starts at s[i], or 0
// when none does: a stray or cut-off byte, an overlong form, a surrogate or a
// code point beyond U+10FFFF. i must be below s.size().
std::size_t Utf8SeqLen(std::string_view s, std::size_t i);

}  // namespace platform
