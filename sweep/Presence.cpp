// SPDX-License-Identifier: MIT
#include "sweep/Presence.h"

#include <charconv>
#include <cstdio>
#include <sstream>

#include "contract/classes.h"
#include "platform/net/neighbour_evidence.h"
#include "platform/objects/objects.h"
#include "sweep/Vendors.h"

namespace sweep {
namespace {

using platform::objects::Arg;
using platform::objects::ObjectError;

// A call into Morvel holds the sweep's thread no longer than this.
constexpr auto kCallLimit = std::chrono::milliseconds(1000);

}  // namespace

std::string MacText(const std::array<unsigned char, 6>& hardware) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", hardware[0], hardware[1],
                  hardware[2], hardware[3], hardware[4], hardware[5]);
    return text;
}

ArpPresence::ArpPresence(const platform::Subnet24& subnet)
    : subnet_(subnet),
      arp_(platform::objects::CreateObject(morvel::kClassArpClsid, morvel::kClassArpIid)) {}

ArpPresence::~ArpPresence() = default;

void ArpPresence::RoundStarts() {
    roundStart_ = std::chrono::steady_clock::now();
    if (source_ != Source::Requests) return;
    std::vector<Arg> args{Arg((subnet_[0] << 16) | (subnet_[1] << 8) | subnet_[2])};
    const Arg asked = arp_->Call(morvel::ClassArpMember::Probe, args, kCallLimit);
    const auto* hosts = std::get_if<std::int32_t>(&asked);
    if (hosts == nullptr) throw ObjectError("Morvel sent a malformed answer to ClassArp.Probe");
    if (*hosts == morvel::kNoArpRight) {
        // The kernel asks for the hosts the echoes go to; its answers are the
        // evidence from now on.
        links_ = platform::DirectLinks(subnet_);
        source_ = links_.empty() ? Source::None : Source::NeighbourTable;
    } else if (*hosts == 0) {
        source_ = Source::None;
    }
}

std::map<int, std::string> ArpPresence::RoundSeen() {
    std::map<int, std::string> seen;
    switch (source_) {
        case Source::None:
            break;
        case Source::NeighbourTable: {
            const auto within = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - roundStart_);
            for (const auto& s : platform::ConfirmedNeighbours(subnet_, links_, within))
                seen[s.host] = MacText(s.hardware);
            break;
        }
        case Source::Requests: {
            std::vector<Arg> none;
            const Arg replies = arp_->Call(morvel::ClassArpMember::Replies, none, kCallLimit);
            const auto* text = std::get_if<std::string>(&replies);
            if (text == nullptr)
                throw ObjectError("Morvel sent a malformed answer to ClassArp.Replies");
            // "n AA-BB-CC-DD-EE-FF" lines; anything else is not evidence.
            std::istringstream lines(*text);
            std::string line;
            while (std::getline(lines, line)) {
                int host = 0;
                const auto [end, ec] =
                    std::from_chars(line.data(), line.data() + line.size(), host);
                const std::string mac = line.substr(static_cast<std::size_t>(end - line.data()));
                if (ec == std::errc() && host >= 1 && host <= 255 && mac.size() == 18 &&
                    mac[0] == ' ' && IsKnownMac(mac.substr(1)))
                    seen[host] = mac.substr(1);
            }
            break;
        }
    }
    return seen;
}

}  // namespace sweep
