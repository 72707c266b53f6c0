// SPDX-License-Identifier: MIT
// libFuzzer harness for the kept sweeps (sweeps/A.B.C.csv), which an older
// version, another program or a hand may have written and which the history
// imports. Whatever the bytes, reading gives a whole sweep or one line saying
// why not; and a sweep's CSV report reads back as it was, whatever its texts
// hold.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/files/fileio.h"
#include "sweep/KeptSweeps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sweep;
    const std::string& folder = fuzzsupport::Scratch();
    const std::string in(reinterpret_cast<const char*>(data), size);
    std::string problem;

    // The bytes as found on disk.
    std::ofstream(folder + "/192.0.2.csv", std::ios::binary | std::ios::trunc) << in;
    const auto found = ReadKeptSweep(folder, "192.0.2", problem);
    if (found ? found->hosts.size() != 255 || !problem.empty() : problem.empty()) std::abort();

    // A sweep of ours whose texts come from the input (short ones: a remark
    // is a line, and 765 copies of a long input would only slow the search).
    auto pieces = fuzzsupport::Pieces(in);
    for (std::string& p : pieces) p.resize(std::min<std::size_t>(p.size(), 48));
    SweepResult r;
    r.subnet = "192.0.2";
    r.rounds = 3;
    for (int h = 1; h <= 255; ++h) {
        HostResult x;
        x.host = h;
        x.ip = "192.0.2." + std::to_string(h);
        x.rounds = 3;
        x.answered = size ? data[static_cast<std::size_t>(h) % size] % 4 : 0;
        x.mac = pieces[static_cast<std::size_t>(h) % pieces.size()];
        x.vendor = pieces[static_cast<std::size_t>(h + 1) % pieces.size()];
        x.remark = pieces[static_cast<std::size_t>(h + 2) % pieces.size()];
        x.name = pieces[static_cast<std::size_t>(h + 3) % pieces.size()];
        r.hosts.push_back(x);
    }
    if (!platform::ReplaceFile(folder + "/192.0.2.csv", WriteCsv(r))) std::abort();
    const auto kept = ReadKeptSweep(folder, "192.0.2", problem);
    if (!kept || !problem.empty()) std::abort();
    for (const HostResult& x : r.hosts) {
        const HostResult& k = kept->hosts[static_cast<std::size_t>(x.host - 1)];
        if (k.answered != x.answered || k.mac != x.mac || k.name != x.name) std::abort();
    }
    return 0;
}
