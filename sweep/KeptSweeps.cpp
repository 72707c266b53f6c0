// SPDX-License-Identifier: MIT
#include "sweep/KeptSweeps.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/files/fileio.h"
#include "settings/ini.h"
#include "sweep/Csv.h"
#include "sweep/SweepOptions.h"

namespace sweep {

namespace {

constexpr int kHosts = 255;

bool ParseCount(const std::string& s, std::int32_t& out) {
    if (s.empty() || s.size() > 9) return false;
    out = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + (c - '0');
    }
    return true;
}

// The column named `name` in a header, or -1.
int Column(const std::vector<std::string>& header, const char* name) {
    const auto it = std::find(header.begin(), header.end(), name);
    return it == header.end() ? -1 : static_cast<int>(it - header.begin());
}

}  // namespace

std::string KeptSweepsFolder() {
    return platform::FolderOf(settings::IniPath(settings::kPsIni)) + "/sweeps";
}

std::optional<SweepResult> ReadKeptSweep(const std::string& folder, const std::string& subnet,
                                         std::string& problem) {
    problem.clear();
    // Only a checked subnet names a file, so no text can reach outside the folder.
    const auto checked = ParseSubnet(subnet);
    if (!checked) {
        problem = "not a subnet: " + subnet;
        return std::nullopt;
    }
    const std::string path = folder + "/" + checked->Text() + ".csv";
    std::string text;
    switch (platform::ReadAll(path, text)) {
        case platform::ReadResult::Missing:
            return std::nullopt;
        case platform::ReadResult::Failed:
            problem = "cannot read the kept sweep " + path + ": " + std::strerror(errno);
            return std::nullopt;
        case platform::ReadResult::Ok:
            break;
    }
    const auto unreadable = [&] {
        problem = "the kept sweep " + path + " is not a whole sweep, so it is not imported";
        return std::nullopt;
    };
    CsvReader reader(text);
    std::vector<std::string> header, f;
    if (!reader.Next(header) || reader.Malformed()) return unreadable();
    // The columns by name: later versions only ever added columns at the end.
    const int hostAt = Column(header, "host"), answeredAt = Column(header, "answered"),
              roundsAt = Column(header, "rounds"), macAt = Column(header, "mac"),
              seenAt = Column(header, "seen"), nameAt = Column(header, "name");
    if (hostAt != 0 || answeredAt < 0 || roundsAt < 0 || macAt < 0) return unreadable();

    SweepResult r;
    r.subnet = checked->Text();
    r.hosts.resize(kHosts);
    std::vector<bool> read(kHosts + 1, false);
    int rows = 0;
    while (reader.Next(f)) {
        std::int32_t host = 0, answered = 0, rounds = 0;
        if (reader.Malformed() || f.size() != header.size() || !ParseCount(f[0], host) ||
            host < 1 || host > kHosts || read[static_cast<std::size_t>(host)] ||
            !ParseCount(f[static_cast<std::size_t>(answeredAt)], answered) ||
            !ParseCount(f[static_cast<std::size_t>(roundsAt)], rounds) || answered > rounds)
            return unreadable();
        read[static_cast<std::size_t>(host)] = true;
        HostResult& h = r.hosts[static_cast<std::size_t>(host - 1)];
        h.host = host;
        h.ip = r.subnet + "." + std::to_string(host);
        h.answered = answered;
        h.rounds = rounds;
        r.rounds = std::max(r.rounds, rounds);
        h.mac = f[static_cast<std::size_t>(macAt)];
        if (seenAt >= 0) h.seen = f[static_cast<std::size_t>(seenAt)];
        if (nameAt >= 0) h.name = f[static_cast<std::size_t>(nameAt)];
        ++rows;
    }
    if (rows != kHosts) return unreadable();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        r.started = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(st.st_mtim.tv_sec) +
                std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    return r;
}

}  // namespace sweep
