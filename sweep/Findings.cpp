// SPDX-License-Identifier: MIT
#include "sweep/Findings.h"

#include <cmath>

#include "sweep/Sweep.h"
#include "sweep/Vendors.h"

namespace sweep {

SweepResult GatherResult(const Sweep& sweep, const std::string& subnet,
                         std::chrono::system_clock::time_point started, const Vendors& vendors) {
    SweepResult result;
    result.subnet = subnet;
    result.rounds = sweep.RoundCount();
    result.started = started;
    result.hosts.reserve(Sweep::kHosts);
    for (int i = 1; i <= Sweep::kHosts; ++i) {
        const Ping& p = sweep.Host(i);
        HostResult h;
        h.host = i;
        h.ip = p.IP;
        h.answered = p.OKCount;
        h.rounds = result.rounds;
        if (p.OKCount > 0) h.mac = sweep.AnsweredMac(i);
        h.seen = p.OKCount > 0 ? "echo" : sweep.ArpRounds(i) > 0 ? "arp" : "none";
        // A host seen by ARP only has the MAC of its reply, asked for or not.
        if (h.seen == "arp") h.mac = sweep.ArpMac(i);
        h.vendor = vendors.Lookup(h.mac);
        h.remark = p.Ps;
        result.hosts.push_back(std::move(h));
    }
    return result;
}

std::optional<std::string> SubnetOf(const std::array<double, 3>& octets) {
    std::string text;
    for (double o : octets) {
        if (!(o >= 0 && o <= 255) || std::floor(o) != o) return std::nullopt;
        if (!text.empty()) text += '.';
        text += std::to_string(static_cast<int>(o));
    }
    return text;
}

bool WasSeen(const HostResult& h) { return h.seen == "echo" || h.seen == "arp"; }

bool SeenByArpOnly(const HostResult& h) { return h.seen == "arp"; }

ChangeKind KindOf(const std::string& change) {
    if (change == "new") return ChangeKind::New;
    if (change == "moved") return ChangeKind::Moved;
    if (change == "mac") return ChangeKind::Mac;
    if (change == "up") return ChangeKind::Up;
    if (change == "down") return ChangeKind::Down;
    return ChangeKind::None;
}

}  // namespace sweep
