#include "scanner/Vendors.h"

#include <vector>

#include "platform/fileio.h"
#include "scanner/Csv.h"

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

Vendors Vendors::Load(const std::string& folder) {
    Vendors v;
    // The first record of a prefix wins: a few MA-L prefixes are listed twice.
    static constexpr struct {
        const char* file;
        int bits;
    } kRegistries[] = {{"oui.csv", 24}, {"mam.csv", 28}, {"oui36.csv", 36}, {"iab.csv", 36}};
    std::string text;
    std::vector<std::string> fields;
    v.byPrefix_.reserve(48000);
    for (const auto& r : kRegistries) {
        if (platform::ReadAll(folder + "/" + r.file, text) != platform::ReadResult::Ok) continue;
        v.names_.reserve(v.names_.size() + text.size() / 3);
        const std::size_t hexDigits = static_cast<std::size_t>(r.bits / 4);
        CsvReader reader(text);
        // Registry, Assignment, Organization Name[, Organization Address]
        while (reader.Next(fields, 3)) {
            if (fields.size() < 3 || fields[1].size() != hexDigits) continue;
            std::uint64_t prefix = 0;
            bool ok = true;
            for (char c : fields[1]) {
                const int d = HexDigit(c);
                if (d < 0) ok = false;
                prefix = prefix << 4 | static_cast<std::uint64_t>(d < 0 ? 0 : d);
            }
            const std::string_view name = Trim(fields[2]);
            if (!ok || name.empty()) continue;
            const std::uint64_t key = (prefix << 8) | static_cast<std::uint64_t>(r.bits);
            auto [it, added] =
                v.byPrefix_.try_emplace(key, static_cast<std::uint32_t>(v.names_.size()),
                                        static_cast<std::uint32_t>(name.size()));
            if (added) v.names_.append(name);
        }
    }
    return v;
}

std::string Vendors::Lookup(std::string_view mac) const {
    auto v = ParseMac(mac);
    // 0x02 of the first octet: locally administered, no registry speaks for it.
    if (!v || *v == 0 || (*v >> 40 & 0x02) != 0) return std::string();
    for (int bits : {36, 28, 24}) {
        auto it = byPrefix_.find(Key(*v, bits));
        if (it != byPrefix_.end()) return names_.substr(it->second.first, it->second.second);
    }
    return std::string();
}
