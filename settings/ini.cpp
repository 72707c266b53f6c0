// SPDX-License-Identifier: MIT
#include "settings/ini.h"

#include "platform/files/codepage.h"
#include "platform/files/profile.h"
#include "platform/process/session.h"

namespace settings {

namespace {

// GetPrivateProfileStringA's buffer: a value is cut to 10239 bytes.
constexpr std::size_t kReadBuffer = 10240;

std::string ReplaceAll(std::string s, std::string_view from, std::string_view to) {
    std::size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
    return s;
}

}  // namespace

std::string IniPath(const std::string& file) {
    if (file.find('/') != std::string::npos) return file;
    return platform::ProfileDir() + "/" + file;
}

std::string ReadIni(const std::string& section, const std::string& key, const std::string& file) {
    std::string raw = platform::profile::GetString(platform::ToAnsi(section), platform::ToAnsi(key),
                                                   "", kReadBuffer, IniPath(file));
    // Carriage returns first, then line feeds, letter case exact.
    std::string text = platform::FromAnsi(raw);
    text = ReplaceAll(std::move(text), "&chr13;", "\r");
    return ReplaceAll(std::move(text), "&chr10;", "\n");
}

bool WriteIni(const std::string& section, const std::string& key, const std::string& value,
              const std::string& file) {
    std::string escaped = ReplaceAll(value, "\r", "&chr13;");
    escaped = ReplaceAll(std::move(escaped), "\n", "&chr10;");
    // A character the code page lacks would be stored as "?": refuse rather
    // than report a changed remark as saved.
    std::string ansi[3];
    const std::string* texts[3] = {&section, &key, &escaped};
    for (int i = 0; i < 3; ++i) {
        ansi[i] = platform::ToAnsi(*texts[i]);
        if (platform::FromAnsi(ansi[i]) != *texts[i]) return false;
    }
    return platform::profile::WriteString(ansi[0], ansi[1], ansi[2], IniPath(file));
}

}  // namespace settings
