// SPDX-License-Identifier: MIT
// What the file readers' harnesses share: a private scratch folder for the
// files they write (removed at exit), and the input cut into texts.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzsupport {

inline const std::string& Scratch() {
    // Never destroyed: the exit handler that removes the folder needs its name.
    // In memory where possible: the writers sync every file they replace.
    static const std::string* const dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        const std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                 : tmp && *tmp                   ? tmp
                                                                 : "/tmp";
        auto* tmpl = new std::string(base + "/varnex-fuzz-XXXXXX");
        if (!::mkdtemp(tmpl->data())) std::abort();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(Scratch(), ec);
        });
        return tmpl;
    }();
    return *dir;
}

// The input's pieces between 0x1F bytes (at least one, maybe empty).
inline std::vector<std::string> Pieces(std::string_view in) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = in.find('\x1f', from);
        out.emplace_back(in.substr(from, at == std::string_view::npos ? in.npos : at - from));
        if (at == std::string_view::npos) return out;
        from = at + 1;
    }
}

}  // namespace fuzzsupport
