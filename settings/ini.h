// SPDX-License-Identifier: MIT
// Module ini: the settings file "set.ini" and the remarks file "Ps.ini" in the
// program's directory (or the user's config folder, see platform::ProfileDir),
// one key at a time. Line breaks in a value are stored as
// "&chr13;" and "&chr10;" so that a value always stays on one line; the files
// hold their text in the ANSI code page (converted here, UTF-8 on our side).
#pragma once

#include <string>

namespace settings {

// The two profile files, by the names every window uses.
inline constexpr const char* kSetIni = "set.ini";
inline constexpr const char* kPsIni = "Ps.ini";

// The full path of a profile file: a bare name ("set.ini") is taken in
// platform::ProfileDir(), a name containing "/" is used as it is.
std::string IniPath(const std::string& file);

// The value of key in section of file (names compared without regard to
// case, the first matching key wins, surrounding blanks removed), cut to
// 10239 bytes in the ANSI code page and unescaped. "" when the file, the
// section or the key is missing or unreadable.
std::string ReadIni(const std::string& section, const std::string& key, const std::string& file);

// Stores value (escaped) under key in section of file, creating the section
// and the file when needed and keeping every other line byte for byte. The
// file is replaced atomically, so a failed write leaves the old one whole.
// Returns whether the value was stored; false also when a text holds a
// character the code page lacks (it would come back as "?"). Callers that must not report a lost
// value (the remarks) check it; settings writes may ignore it.
bool WriteIni(const std::string& section, const std::string& key, const std::string& value,
              const std::string& file);

}  // namespace settings
