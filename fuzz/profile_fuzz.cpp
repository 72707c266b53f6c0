// SPDX-License-Identifier: MIT
// libFuzzer harness for the profile files (set.ini, Ps.ini), which the user,
// an editor or another program may have written. The input is a file, and
// after a 0x1F byte the section, key and value of one write, each after the
// next 0x1F (a file alone writes a key of its first section). Whatever the
// file holds, a write that is taken reads back, leaves every other key it
// could be told apart from as it was, and a second identical write changes
// no byte.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/files/profile.h"

namespace {

namespace pf = platform::profile;
constexpr std::size_t kBuffer = 1 << 16;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool Ascii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

bool SameAscii(std::string_view a, std::string_view b) {
    a = Trim(a);
    b = Trim(b);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Section and key names the file's own lines offer, ASCII only, so that the
// harness can tell them apart from the written one as the reader does.
std::vector<std::pair<std::string, std::string>> Names(const std::string& file) {
    std::vector<std::pair<std::string, std::string>> names;
    std::string section;
    std::istringstream lines(file);
    for (std::string line; std::getline(lines, line) && names.size() < 24;) {
        std::string_view c = Trim(line);
        if (!c.empty() && c.back() == '\r') c = Trim(c.substr(0, c.size() - 1));
        if (!c.empty() && c.front() == '[') {
            section = std::string(c.substr(1, c.find(']') - 1));
            continue;
        }
        const auto eq = c.find('=');
        if (eq == std::string_view::npos || c.front() == ';' || c.front() == '#') continue;
        if (!section.empty() && Ascii(section) && Ascii(c.substr(0, eq)))
            names.emplace_back(section, std::string(c.substr(0, eq)));
    }
    return names;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
    }
    return out;
}

// Every line of the old file is in the new one, in order, but for the one
// line of the key (replaced), or the key's line (and its section's) added.
bool OnlyTheKeyChanged(const std::string& before, const std::string& after) {
    const auto old = Lines(before), now = Lines(after);
    std::size_t i = 0, j = 0, replaced = 0, added = 0;
    while (i < old.size() && j < now.size()) {
        if (old[i] == now[j]) {
            ++i, ++j;
        } else if (old.size() - i == now.size() - j) {
            ++i, ++j, ++replaced;
        } else {
            ++j, ++added;
        }
    }
    added += now.size() - j;
    return i == old.size() && (replaced == 1 ? added == 0 : replaced == 0 && added <= 2);
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzzsupport::Scratch() + "/Ps.ini";
    const auto pieces =
        fuzzsupport::Pieces(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string& file = pieces[0];
    std::ofstream(path, std::ios::binary | std::ios::trunc) << file;

    const auto names = Names(file);
    std::string section = pieces.size() > 1 ? pieces[1] : names.empty() ? "PS" : names[0].first;
    std::string key = pieces.size() > 2 ? pieces[2] : names.empty() ? "1" : names[0].second;
    const std::string value = pieces.size() > 3 ? pieces[3] : "fuzz value";

    std::vector<std::string> before;
    for (const auto& [s, k] : names) before.push_back(pf::GetString(s, k, "\x01", kBuffer, path));
    (void)pf::GetString(section, key, "", kBuffer, path);
    if (!pf::WriteString(section, key, value, path)) return 0;
    const std::string written = Slurp(path);
    if (!OnlyTheKeyChanged(file, written)) std::abort();

    if (pf::GetString(section, key, "\x01", kBuffer, path) != Trim(value)) std::abort();
    const bool asciiName = Ascii(section) && Ascii(key);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto& [s, k] = names[i];
        if (!asciiName || (SameAscii(s, section) && SameAscii(k, key))) continue;
        if (pf::GetString(s, k, "\x01", kBuffer, path) != before[i]) std::abort();
    }
    if (!pf::WriteString(section, key, value, path) || Slurp(path) != written) std::abort();
    return 0;
}
