// SPDX-License-Identifier: MIT
// `Tessor --history`: what the history knows, in the three forms of a
// sweep's report (text for people, CSV, JSON): the subnets it holds, the
// devices of one subnet, or one address's timeline. Writers do no I/O;
// ShowHistory opens the history and prints. Qt-free.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "sweep/History.h"
#include "sweep/SweepOptions.h"
#include "sweep/Vendors.h"

namespace sweep {

// subnet, sweeps, first, last, devices.
std::string WriteSubnets(const std::vector<SubnetRecord>& subnets, ReportFormat format);

// mac, vendor, ip, name, first_seen, last_seen, sweeps, local_mac.
std::string WriteDevices(const Subnet& subnet, const std::vector<DeviceRecord>& devices,
                         const Vendors& vendors, ReportFormat format);

// from, to, sweeps, mac, name: one span of sweeps that saw the address each.
std::string WriteTimeline(const Subnet& subnet, int host, const std::vector<SeenSpan>& spans,
                          ReportFormat format);

// Prints what `options` asks for on `out`. Exit code 0, or 1 with the reason
// on `err` when the history cannot be read or the report cannot be written.
// With no history yet, the lists are empty and nothing is created.
int ShowHistory(const HistoryOptions& options, std::ostream& out, std::ostream& err);

}  // namespace sweep
