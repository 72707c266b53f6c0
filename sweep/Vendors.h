// SPDX-License-Identifier: MIT
// The organisations registered for MAC address prefixes, from the IEEE
// registry files of Debian's ieee-data package: MA-L (24-bit prefixes,
// oui.csv), MA-M (28-bit, mam.csv), MA-S and the older IAB (36-bit,
// oui36.csv, iab.csv). The longest registered prefix wins. Only the CSV files
// are read: they hold the same registry as the .txt files in half the bytes.
// Loaded once per run; a missing folder or file simply knows fewer vendors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sweep {

// Debian's ieee-data folder.
inline constexpr const char* kIeeeDataFolder = "/usr/share/ieee-data";

// The 48 bits of a MAC text of 12 hex digits, in pairs separated by "-" or
// ":" (02-42-C6-33-64-09) or not at all; either letter case.
std::optional<std::uint64_t> ParseMac(std::string_view text);

// A MAC text worth comparing: one that parses and is not all zeros (the
// window's text for a lookup that found nothing).
bool IsKnownMac(std::string_view text);

class Vendors {
  public:
    Vendors() = default;  // knows no vendor

    // Reads the registry files in folder; files that are missing or cannot be
    // read are passed over, and records that do not parse are skipped.
    static Vendors Load(const std::string& folder);
    // The same from the files' texts, by file name ("oui.csv", "mam.csv",
    // "oui36.csv", "iab.csv"); other names are passed over.
    static Vendors FromTexts(std::vector<std::pair<std::string, std::string>> files);

    // The organisation for mac, "" when none is registered or the address is
    // not a globally unique one (locally administered, zero or unparsable).
    std::string Lookup(std::string_view mac) const;

    std::size_t Size() const;

  private:
    struct Entry {
        std::uint64_t key;     // prefix bits in the top of 48, its length in the low byte
        std::uint32_t file;    // index into texts_
        std::uint32_t offset;  // where the record's name field starts
        bool operator<(const Entry& o) const {
            return key != o.key ? key < o.key
                                : (file != o.file ? file < o.file : offset < o.offset);
        }
    };
    // The files are kept whole and a name is unquoted only when it is asked
    // for: indexing then costs one pass over the line starts.
    std::vector<std::string> texts_;
    std::vector<Entry> index_;  // sorted; the first record of a prefix first
};

}  // namespace sweep
