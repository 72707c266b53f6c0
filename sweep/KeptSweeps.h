// SPDX-License-Identifier: MIT
// The kept sweeps of earlier versions: the last sweep of each subnet run from
// a script, kept as its CSV report <folder>/<A.B.C>.csv next to the profile
// files. Nothing writes them any more; the history imports them once and
// leaves them where they are.
#pragma once

#include <optional>
#include <string>

#include "sweep/SweepReport.h"

namespace sweep {

// <the profile files' folder>/sweeps.
std::string KeptSweepsFolder();

// The kept sweep of subnet as a result: 255 hosts with their answered rounds,
// MAC and, where the file has those columns, how they were seen and their
// names; `started` is the file's time. Nothing, with problem left empty, when
// none is kept; nothing with problem set to one line saying why when the file
// cannot be read or is not a whole sweep.
std::optional<SweepResult> ReadKeptSweep(const std::string& folder, const std::string& subnet,
                                         std::string& problem);

}  // namespace sweep
