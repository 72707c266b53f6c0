// SPDX-License-Identifier: MIT
#include "worker/ClassArp.h"

#include <cstdio>
#include <stdexcept>

#include "contract/classes.h"
#include "platform/net/arp_probe.h"

namespace worker {

ClassArp::ClassArp() = default;
ClassArp::~ClassArp() = default;

std::int32_t ClassArp::Probe(std::int32_t subnet) {
    if (subnet < 0 || subnet > 0xFFFFFF)
        throw std::invalid_argument("ClassArp.Probe: " + std::to_string(subnet) +
                                    " names no subnet (a * 65536 + b * 256 + c)");
    // The links are looked up once per subnet: a sweep probes every round.
    if (!probe_ || subnet != subnet_) {
        probe_.reset();
        probe_ = std::make_unique<platform::ArpProbe>(platform::Subnet24{
            static_cast<std::uint8_t>(subnet >> 16), static_cast<std::uint8_t>(subnet >> 8),
            static_cast<std::uint8_t>(subnet)});
        subnet_ = subnet;
    }
    switch (probe_->State()) {
        case platform::ArpProbe::Start::NoRight:
            return morvel::kNoArpRight;
        case platform::ArpProbe::Start::NotAttached:
            return 0;
        case platform::ArpProbe::Start::Probing:
            break;
    }
    probe_->Send();
    return probe_->Hosts();
}

std::string ClassArp::Replies() const {
    if (!probe_) return {};
    std::string text;
    for (const platform::ArpReply& r : probe_->Replies()) {
        char line[32];
        std::snprintf(line, sizeof line, "%d %02X-%02X-%02X-%02X-%02X-%02X\n", r.host,
                      r.hardware[0], r.hardware[1], r.hardware[2], r.hardware[3], r.hardware[4],
                      r.hardware[5]);
        text += line;
    }
    return text;
}

}  // namespace worker
