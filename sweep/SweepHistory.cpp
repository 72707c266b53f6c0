#include "sweep/SweepHistory.h"

#include <cerrno>
#include <cstring>

#include "platform/files/fileio.h"
#include "settings/ini.h"
#include "sweep/Csv.h"
#include "sweep/SweepOptions.h"
#include "sweep/Vendors.h"

namespace sweep {

namespace {

constexpr int kHosts = 255;

std::optional<std::string> KeptPath(const std::string& folder, const std::string& subnet) {
    // Only a checked subnet names a file, so no text can reach outside the folder.
    auto checked = ParseSubnet(subnet);
    if (!checked) return std::nullopt;
    return folder + "/" + checked->Text() + ".csv";
}

bool ParseCount(const std::string& s, std::int32_t& out) {
    if (s.empty() || s.size() > 9) return false;
    out = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + (c - '0');
    }
    return true;
}

}  // namespace

std::string KeptSweepsFolder() {
    return platform::FolderOf(settings::IniPath(settings::kPsIni)) + "/sweeps";
}

std::optional<std::vector<KeptHost>> ReadKeptSweep(const std::string& folder,
                                                   const std::string& subnet,
                                                   std::string& problem) {
    problem.clear();
    auto path = KeptPath(folder, subnet);
    if (!path) {
        problem = "not a subnet: " + subnet;
        return std::nullopt;
    }
    std::string text;
    switch (platform::ReadAll(*path, text)) {
        case platform::ReadResult::Missing:
            return std::nullopt;
        case platform::ReadResult::Failed:
            problem = "cannot read the last sweep " + *path + ": " + std::strerror(errno);
            return std::nullopt;
        case platform::ReadResult::Ok:
            break;
    }
    const auto unreadable = [&] {
        problem = "the last sweep " + *path + " is not readable, so no change is shown";
        return std::nullopt;
    };
    CsvReader reader(text);
    std::vector<std::string> f;
    // Nine columns, or more from a later version: only the first nine are read.
    if (!reader.Next(f) || reader.Malformed() || f.size() < 9 || f[0] != "host" ||
        f[2] != "answered" || f[5] != "mac")
        return unreadable();
    std::vector<KeptHost> kept(kHosts + 1);
    std::vector<bool> seen(kHosts + 1, false);
    int rows = 0;
    while (reader.Next(f)) {
        std::int32_t host = 0, answered = 0;
        if (reader.Malformed() || f.size() < 9 || !ParseCount(f[0], host) || host < 1 ||
            host > kHosts || seen[static_cast<std::size_t>(host)] || !ParseCount(f[2], answered))
            return unreadable();
        seen[static_cast<std::size_t>(host)] = true;
        kept[static_cast<std::size_t>(host)] = KeptHost{answered > 0, f[5]};
        ++rows;
    }
    if (rows != kHosts) return unreadable();
    return kept;
}

void MarkChanges(std::vector<HostResult>& hosts, const std::optional<std::vector<KeptHost>>& kept) {
    for (HostResult& h : hosts) {
        h.change.clear();
        if (!kept || h.host < 1 || static_cast<std::size_t>(h.host) >= kept->size()) continue;
        const KeptHost& then = (*kept)[static_cast<std::size_t>(h.host)];
        const bool now = h.answered > 0;
        if (now && !then.answered) {
            h.change = "up";
        } else if (!now && then.answered) {
            h.change = "down";
        } else if (now && IsKnownMac(h.mac) && IsKnownMac(then.mac) &&
                   ParseMac(h.mac) != ParseMac(then.mac)) {
            h.change = "mac";
        }
    }
}

bool KeepSweep(const std::string& folder, const SweepResult& r, std::string& problem) {
    problem.clear();
    auto path = KeptPath(folder, r.subnet);
    if (!path) {
        problem = "not a subnet: " + r.subnet;
        return false;
    }
    if (!platform::MakeFolder(folder)) {
        problem = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
    }
    if (!platform::ReplaceFile(*path, WriteCsv(r))) {
        problem = "cannot keep this sweep in " + *path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace sweep
