// SPDX-License-Identifier: MIT
#include "sweep/Csv.h"

#include <cstdint>
#include <cstring>

namespace sweep {

bool CsvReader::Next(std::vector<std::string>& fields, std::size_t keep) {
    malformed_ = false;
    if (pos_ >= text_.size()) return false;
    const char* const base = text_.data();
    const std::size_t end = text_.size();
    std::size_t count = 0;
    auto store = [&](std::string_view piece, bool append) {
        if (count >= keep) return;
        if (fields.size() <= count) fields.emplace_back();
        if (append)
            fields[count].append(piece);
        else
            fields[count].assign(piece);
    };
    for (;;) {
        // One field starts at pos_.
        if (pos_ < end && base[pos_] == '"') {
            ++pos_;
            bool first = true;
            for (;;) {
                const void* q = std::memchr(base + pos_, '"', end - pos_);
                if (!q) {
                    store(text_.substr(pos_), !first);
                    pos_ = end;
                    malformed_ = true;
                    break;
                }
                const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(q) - base);
                if (at + 1 < end && base[at + 1] == '"') {
                    // A doubled quote: keep one.
                    store(text_.substr(pos_, at + 1 - pos_), !first);
                    pos_ = at + 2;
                } else {
                    store(text_.substr(pos_, at - pos_), !first);
                    pos_ = at + 1;
                    break;
                }
                first = false;
            }
            // After the closing quote only a separator or the record's end may follow.
            std::size_t stop = pos_;
            while (stop < end && base[stop] != ',' && base[stop] != '\n') ++stop;
            std::size_t tail = stop;
            if (tail > pos_ && base[tail - 1] == '\r' && (stop == end || base[stop] == '\n'))
                --tail;
            if (tail != pos_) malformed_ = true;
            pos_ = stop;
        } else {
            std::size_t stop = pos_;
            while (stop < end && base[stop] != ',' && base[stop] != '\n') ++stop;
            std::size_t tail = stop;
            if (tail > pos_ && base[tail - 1] == '\r' && (stop == end || base[stop] == '\n'))
                --tail;
            std::string_view bare = text_.substr(pos_, tail - pos_);
            if (bare.find('"') != std::string_view::npos) malformed_ = true;
            store(bare, false);
            pos_ = stop;
        }
        ++count;
        if (pos_ >= end || base[pos_] == '\n') {
            if (pos_ < end) ++pos_;
            break;
        }
        ++pos_;  // the comma
    }
    fields.resize(count < keep ? count : keep);
    return true;
}

void AppendCsvField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(field);
        return;
    }
    out += '"';
    for (char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

}  // namespace sweep
