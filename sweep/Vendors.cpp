// SPDX-License-Identifier: MIT
#include "sweep/Vendors.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/files/fileio.h"
#include "sweep/Csv.h"

namespace sweep {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Prefix bits in the top of 48, its length in the low byte.
std::uint64_t Key(std::uint64_t mac48, int bits) {
    return ((mac48 >> (48 - bits)) << 8) | static_cast<std::uint64_t>(bits);
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::optional<std::uint64_t> ParseMac(std::string_view text) {
    std::uint64_t v = 0;
    int digits = 0;
    char sep = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const int d = HexDigit(c);
        if (d >= 0) {
            if (++digits > 12) return std::nullopt;
            v = v << 4 | static_cast<std::uint64_t>(d);
            continue;
        }
        // A separator only between pairs, and the same one throughout.
        if ((c != '-' && c != ':') || digits % 2 != 0 || digits == 0 || (sep && c != sep))
            return std::nullopt;
        if (i + 1 < text.size() && HexDigit(text[i + 1]) < 0) return std::nullopt;
        sep = c;
    }
    if (digits != 12) return std::nullopt;
    if (sep && text.size() != 17) return std::nullopt;
    return v;
}

bool IsKnownMac(std::string_view text) {
    auto v = ParseMac(text);
    return v && *v != 0;
}

namespace {

struct Registry {
    const char* file;
    std::string_view name;
    int bits;
};
constexpr Registry kRegistries[] = {{"oui.csv", "MA-L", 24},
                                    {"mam.csv", "MA-M", 28},
                                    {"oui36.csv", "MA-S", 36},
                                    {"iab.csv", "IAB", 36}};

}  // namespace

Vendors Vendors::Load(const std::string& folder) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& r : kRegistries) {
        std::string text;
        if (platform::ReadAll(folder + "/" + r.file, text) == platform::ReadResult::Ok)
            files.emplace_back(r.file, std::move(text));
    }
    return FromTexts(std::move(files));
}

Vendors Vendors::FromTexts(std::vector<std::pair<std::string, std::string>> files) {
    Vendors v;
    v.index_.reserve(48000);
    for (auto& [fileName, text] : files) {
        const Registry* found = nullptr;
        for (const auto& r : kRegistries)
            if (fileName == r.file) found = &r;
        // Offsets are 32-bit: a registry file is a few MB, anything near 4 GB is not one.
        if (!found || text.size() > UINT32_MAX) continue;
        const Registry& r = *found;
        const auto file = static_cast<std::uint32_t>(v.texts_.size());
        const std::size_t hexDigits = static_cast<std::size_t>(r.bits / 4);
        // A record starts a line with its registry's name and the assignment:
        // "MA-L,001A2B,". The line after a line break inside a quoted address
        // never looks like that, so the lines can be walked with memchr
        // instead of parsing every field of 4 MB of addresses.
        const std::size_t head = r.name.size() + 1 + hexDigits + 1;
        const char* const base = text.data();
        const std::size_t end = text.size();
        for (std::size_t pos = 0; pos < end;) {
            const void* nl = std::memchr(base + pos, '\n', end - pos);
            const std::size_t next =
                nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - base) + 1 : end;
            const std::string_view line(base + pos, next - pos);
            if (line.size() > head && line.starts_with(r.name) && line[r.name.size()] == ',' &&
                line[head - 1] == ',') {
                std::uint64_t prefix = 0;
                bool ok = true;
                for (std::size_t k = r.name.size() + 1; k < head - 1; ++k) {
                    const int d = HexDigit(line[k]);
                    ok = ok && d >= 0;
                    prefix = prefix << 4 | static_cast<std::uint64_t>(d < 0 ? 0 : d);
                }
                if (ok)
                    v.index_.push_back(Entry{(prefix << 8) | static_cast<std::uint64_t>(r.bits),
                                             file, static_cast<std::uint32_t>(pos + head)});
            }
            pos = next;
        }
        v.texts_.push_back(std::move(text));
    }
    std::sort(v.index_.begin(), v.index_.end());
    return v;
}

std::size_t Vendors::Size() const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < index_.size(); ++i)
        if (i == 0 || index_[i].key != index_[i - 1].key) ++n;
    return n;
}

std::string Vendors::Lookup(std::string_view mac) const {
    auto v = ParseMac(mac);
    // 0x02 of the first octet: locally administered, no registry speaks for it.
    if (!v || *v == 0 || (*v >> 40 & 0x02) != 0) return std::string();
    for (int bits : {36, 28, 24}) {
        const std::uint64_t key = Key(*v, bits);
        auto it = std::lower_bound(index_.begin(), index_.end(), Entry{key, 0, 0});
        if (it == index_.end() || it->key != key) continue;
        // The name field, unquoted; a record whose name is empty names no one.
        const std::string& text = texts_[it->file];
        CsvReader reader(std::string_view(text).substr(it->offset));
        std::vector<std::string> fields;
        if (!reader.Next(fields, 1) || fields.empty()) continue;
        const std::string_view name = Trim(fields[0]);
        if (!name.empty()) return std::string(name);
    }
    return std::string();
}

}  // namespace sweep
