// SPDX-License-Identifier: MIT
// A sweep run from a script (`Tessor --sweep`): no window and no display, the
// same Morvel workers, slots and sweep engine as the window, the result on
// `out` as text, CSV or JSON. Remarks come from Ps.ini as the window reads
// them; the window's entry in set.ini is left alone. Every sweep is recorded
// in the history (History.h), which tells what changed. Qt-free.
#pragma once

#include <functional>
#include <ostream>

#include "sweep/SweepOptions.h"

namespace sweep {

// Exit codes: 0 when the sweep ran and was recorded (whether or not a host
// answered); 1 when Morvel could not be reached, the sweep could not be
// recorded (the report is printed all the same) or the report could not be
// written, with the reason on `err`; kExitChanged (3) when a change listed in
// options.failOn occurred. Warnings that do not stop the sweep (a kept sweep
// of an earlier version that cannot be imported) are one line each on `err`.
int RunSweep(const SweepOptions& options, std::ostream& out, std::ostream& err);

// The sweep of `Tessor --sweep`: RunSweep in a private session of its own
// (platform::PrivateSession), so that neither a window nor another script
// sweep shares its slots or its worker host. The session, and the worker host
// that served it, are gone when this returns. Exit code 1 also when the
// session cannot be made.
int RunSweepAlone(const SweepOptions& options, std::ostream& out, std::ostream& err);

// RunSweep in this process's session, calling beforeRound(n) before round n
// (1-based) is issued: the tests change the network between rounds.
int RunSweep(const SweepOptions& options, std::ostream& out, std::ostream& err,
             const std::function<void(int)>& beforeRound);

}  // namespace sweep
