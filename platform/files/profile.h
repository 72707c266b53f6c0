// SPDX-License-Identifier: MIT
// Private profile files (the stand-in for GetPrivateProfileStringA and
// WritePrivateProfileStringA): "[section]" lines and "key=value" lines in the
// ANSI code page. Section and key names are compared without regard to case,
// the first matching section and key win, values are read without surrounding
// blanks. A write keeps every other line of the file byte for byte (comments,
// blank lines, lines without "=", CRLF ends) and replaces the file atomically:
// a failed write leaves the old file whole and no temporary file behind, and
// a write removes the temporary files a crashed writer left. A file that is
// not a regular file (a FIFO, a device) or is larger than 16 MiB is neither
// read nor replaced; the user is told once per file.
#pragma once

#include <cstddef>
#include <string>

namespace platform::profile {

// The value of key in section of the file at path, at most bufferSize - 1
// bytes (the rest is cut, as a fixed buffer with its NUL would), up to a NUL
// byte if the file holds one. def when the file, section or key is missing
// or the file cannot be read. All texts are ANSI bytes.
std::string GetString(const std::string& section, const std::string& key, const std::string& def,
                      std::size_t bufferSize, const std::string& path);

// Replaces the first line of key in section (or adds it at the end of the
// section, adding the section at the end of the file, creating the file) with
// key=value. Returns false, changing nothing, when the file cannot be read
// or written, or when a name or the value would break the file's layout
// (empty names, line breaks or NUL anywhere, "]" in the section, "=" in the
// key, blanks around the key).
bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& path);

}  // namespace platform::profile
