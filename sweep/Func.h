// SPDX-License-Identifier: MIT
// Module Func: the loosely typed helpers the main window uses wherever typed
// text or stored values become numbers, fixed-width text or colours. Plain
// functions without state. StrOr and NumOr never fail: every conversion of
// user input goes through them, so a bad text turns into a default.
#pragma once

#include <cstdint>
#include <string>

#include "sweep/value.h"

namespace sweep {

// The text of v; def when v is Null or has no text.
std::string StrOr(const Value& v, const std::string& def);

// v as a number (v multiplied by 1): a number keeps its kind, a text becomes
// the Double it spells, a boolean 0 or -1, empty 0. def when v is Null or the
// conversion fails (empty text, not a number). Never throws.
Value NumOr(const Value& v, const Value& def);
// The same as a plain double, for callers that only need the value.
double NumOr(const Value& v, double def);

// StrOr(v, "") left-justified in exactly `width` characters (UTF-8 code
// points, not bytes): cut when longer, else filled with the first character of
// padChar. A width of 0 or less gives ""; an empty padChar pads with spaces.
std::string PadRight(const Value& v, int width, const std::string& padChar);

// The BGR colour (&H00BBGGRR) `percent` per cent of the way from colorA to
// colorB, each channel rounded half to even: MixColor(0xFF, 0xFF00, 50) is
// 0x8080. Only the low 24 bits of a colour count, and a percentage outside
// 0..100 (or NaN) is held to that range, so the result is always a colour.
std::int32_t MixColor(std::int32_t colorA, std::int32_t colorB, double percent);

// The length in bytes of utf8 in the ANSI code page (a GBK Chinese character 2).
std::int32_t AnsiLen(const std::string& utf8);

}  // namespace sweep
