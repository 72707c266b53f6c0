// SPDX-License-Identifier: MIT
#include "platform/files/codepage.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace platform {
namespace {

bool IsUtf8(const std::string& cs) { return cs == "UTF-8" || cs == "utf8" || cs == "UTF8"; }

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

std::string SanitizeUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        std::size_t n = Utf8SeqLen(s, i);
        if (n == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

// One converter per thread and direction: iconv descriptors keep shift state.
// They are closed when the thread ends.
struct ConverterCache {
    std::map<std::pair<std::string, std::string>, iconv_t> map;
    ~ConverterCache() {
        for (auto& [key, cd] : map)
            if (cd != reinterpret_cast<iconv_t>(-1)) ::iconv_close(cd);
    }
};

iconv_t Converter(const std::string& to, const std::string& from) {
    thread_local ConverterCache cache;
    auto key = std::make_pair(to, from);
    auto it = cache.map.find(key);
    if (it != cache.map.end()) return it->second;
    iconv_t cd = ::iconv_open(to.c_str(), from.c_str());
    cache.map.emplace(key, cd);
    return cd;
}

// Converts with iconv; on an invalid sequence appends `bad` and skips `skip(i)` bytes.
template <class Skip>
std::string Convert(std::string_view in, const std::string& to, const std::string& from,
                    std::string_view bad, Skip skip) {
    iconv_t cd = Converter(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    out.reserve(in.size() * 2 + 4);
    std::size_t pos = 0;
    char buf[256];
    while (pos < in.size()) {
        char* src = const_cast<char*>(in.data() + pos);
        std::size_t srcLeft = in.size() - pos;
        char* dst = buf;
        std::size_t dstLeft = sizeof buf;
        std::size_t r = ::iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        int err = errno;
        out.append(buf, static_cast<std::size_t>(dst - buf));
        pos = static_cast<std::size_t>(src - in.data());
        if (r == static_cast<std::size_t>(-1) && err != E2BIG) {
            out += bad;
            pos += skip(pos);
            ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

}  // namespace

std::size_t Utf8SeqLen(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    std::size_t n;
    std::uint32_t cp;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4, cp = c & 0x07;
    else
        return 0;
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

std::string AnsiCharset() {
    std::string cs = ::nl_langinfo(CODESET);
    if (cs.empty() || cs == "ANSI_X3.4-1968" || cs == "ASCII") return "UTF-8";
    return cs;
}

std::string ToAnsi(std::string_view utf8) {
    std::string cs = AnsiCharset();
    if (IsUtf8(cs)) return SanitizeUtf8(utf8);
    return Convert(utf8, cs, "UTF-8", "?", [&](std::size_t i) {
        std::size_t n = Utf8SeqLen(utf8, i);
        return n ? n : 1;
    });
}

std::string FromAnsi(std::string_view ansi) {
    std::string cs = AnsiCharset();
    if (IsUtf8(cs)) return SanitizeUtf8(ansi);
    return Convert(ansi, "UTF-8", cs, kReplacement, [](std::size_t) { return std::size_t{1}; });
}

}  // namespace platform
