// SPDX-License-Identifier: MIT
// What a finished sweep found, per host, gathered from the engine in one
// place: the window's host table, its export, its marks on the grid and its
// record of the sweep say what `Tessor --sweep` would say of the same sweep.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>

#include "sweep/SweepReport.h"

namespace sweep {

class Sweep;
class Vendors;

// The result of the last sweep of `sweep` over subnet "A.B.C": per host its
// address, rounds answered, how it was seen, the MAC of an answered round
// that asked for one (or of its ARP reply), vendor and remark; no name and
// no change yet.
SweepResult GatherResult(const Sweep& sweep, const std::string& subnet,
                         std::chrono::system_clock::time_point started, const Vendors& vendors);

// "A.B.C" for octets that name a subnet (three whole numbers 0 to 255);
// nothing for what a window's boxes may hold besides (300, -1, 2.5).
std::optional<std::string> SubnetOf(const std::array<double, 3>& octets);

// Whether a host was seen in the sweep; whether only by ARP.
bool WasSeen(const HostResult& h);
bool SeenByArpOnly(const HostResult& h);

// The kinds of change a host can show, in the order in which they win.
enum class ChangeKind { None, New, Moved, Mac, Up, Down };
ChangeKind KindOf(const std::string& change);

}  // namespace sweep
