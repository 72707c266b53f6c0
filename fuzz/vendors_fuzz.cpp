// SPDX-License-Identifier: MIT
// libFuzzer harness for the IEEE registry reader: the ieee-data files are
// another package's, and a damaged or future one must not crash a sweep.
// The same bytes stand for every registry file, so every kind of line meets
// every reader; lookups use the assignments the text names and the input's
// own bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "sweep/Vendors.h"

namespace {

using namespace sweep;

// "MA-L,001B63,..." gives 00-1B-63-00-00-01: the assignment's digits, then
// zeros, then 1.
std::string MacOf(std::string_view digits) {
    std::string hex(digits.substr(0, 11));
    while (hex.size() < 11) hex += '0';
    hex += '1';
    std::string mac;
    for (std::size_t i = 0; i < 12; i += 2) mac += (i ? "-" : "") + hex.substr(i, 2);
    return mac;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    const Vendors v =
        Vendors::FromTexts({{"oui.csv", in}, {"mam.csv", in}, {"oui36.csv", in}, {"iab.csv", in}});
    std::vector<std::string> macs{in};  // the input as a MAC text
    if (size >= 6) {
        char text[18];
        std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", data[0], data[1], data[2],
                      data[3], data[4], data[5]);
        macs.emplace_back(text);
    }
    for (std::size_t pos = 0; pos < in.size() && macs.size() < 40;) {
        const std::size_t comma = in.find(',', pos);
        const std::size_t nl = in.find('\n', pos);
        if (comma != std::string::npos && comma < nl) {
            const std::size_t end = in.find(',', comma + 1);
            if (end != std::string::npos && end < nl)
                macs.push_back(MacOf(std::string_view(in).substr(comma + 1, end - comma - 1)));
        }
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }
    for (const std::string& mac : macs) {
        const std::string name = v.Lookup(mac);
        // A name comes back trimmed, and only for a MAC that parses.
        if (!name.empty() && (name.front() == ' ' || name.back() == ' ' || !ParseMac(mac)))
            std::abort();
    }
    (void)v.Size();
    return 0;
}
