// The kept result of the last sweep of each subnet run from a script, and what
// changed since. Each sweep is kept as its CSV report, <folder>/<A.B.C>.csv,
// in a folder of its own next to the profile files (never in set.ini or
// Ps.ini), written atomically so a crash or a full disk leaves the last one
// whole.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sweep/SweepReport.h"

namespace sweep {

// <the profile files' folder>/sweeps.
std::string KeptSweepsFolder();

// What a kept sweep says of one host.
struct KeptHost {
    bool answered = false;
    std::string mac;
};

// The kept sweep of subnet, indexed by host number (0 unused). Nothing, with
// problem left empty, when none is kept; nothing with problem set to one line
// saying why when the file cannot be read or is not a whole sweep.
std::optional<std::vector<KeptHost>> ReadKeptSweep(const std::string& folder,
                                                   const std::string& subnet, std::string& problem);

// Sets each host's change against the kept sweep: "up" (answers now, did not
// then), "down" (answered then, not now), "mac" (answered both times with two
// different known MACs), else "". No kept sweep: all "".
void MarkChanges(std::vector<HostResult>& hosts, const std::optional<std::vector<KeptHost>>& kept);

// Keeps r as the subnet's last sweep, creating the folder when needed. False,
// with problem set, when it could not be stored; the old one is then whole.
bool KeepSweep(const std::string& folder, const SweepResult& r, std::string& problem);

}  // namespace sweep
