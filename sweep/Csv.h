// SPDX-License-Identifier: MIT
// Comma-separated records as RFC 4180 writes them: fields separated by commas,
// records by CR LF (a bare LF is taken too), a field in double quotes may hold
// commas, quotes (doubled) and line breaks. Used for the IEEE registry files,
// which are large, so reading allocates nothing per record once warmed up.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sweep {

class CsvReader {
  public:
    explicit CsvReader(std::string_view text) : text_(text) {}

    // The next record's fields, unquoted; false at the end of the text. At most
    // `keep` fields are stored, the rest are passed over. A record that breaks
    // the quoting rules (a quote inside a bare field, text after a closing
    // quote, a quote never closed) still comes back, and Malformed() tells.
    bool Next(std::vector<std::string>& fields, std::size_t keep = SIZE_MAX);
    bool Malformed() const { return malformed_; }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
    bool malformed_ = false;
};

// Appends one field to out, quoted when it holds a comma, a quote, CR or LF.
void AppendCsvField(std::string& out, std::string_view field);

}  // namespace sweep
