// SPDX-License-Identifier: MIT
#include "platform/net/neighbour_evidence.h"

#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/net/rtnetlink.h"

namespace platform {
namespace {

struct Dump {
    const Subnet24* subnet;
    const std::vector<DirectLink>* links;
    long withinTicks;  // in the table's clock ticks
    std::vector<NeighbourSighting> seen;
};

bool OnLink(const std::vector<DirectLink>& links, int index, int host) {
    return std::any_of(links.begin(), links.end(), [&](const DirectLink& l) {
        return l.index == index && std::binary_search(l.hosts.begin(), l.hosts.end(), host);
    });
}

int OnNeighbour(const nlmsghdr* nlh, void* arg) {
    auto* dump = static_cast<Dump*>(arg);
    const auto* ndm = static_cast<const ndmsg*>(mnl_nlmsg_get_payload(nlh));
    // Only entries the kernel resolved itself and that hold an address.
    constexpr std::uint16_t kResolved = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE;
    if (ndm->ndm_family != AF_INET || (ndm->ndm_flags & NTF_PROXY) ||
        !(ndm->ndm_state & kResolved)) {
        return MNL_CB_OK;
    }
    const nlattr* attrs[NDA_MAX + 1] = {};
    if (mnl_attr_parse(nlh, sizeof(*ndm), RtnlCollectAttr<NDA_MAX>, attrs) < 0) return MNL_CB_OK;
    const nlattr* dst = attrs[NDA_DST];
    const nlattr* lladdr = attrs[NDA_LLADDR];
    const nlattr* cache = attrs[NDA_CACHEINFO];
    if (dst == nullptr || lladdr == nullptr || cache == nullptr ||
        mnl_attr_get_payload_len(dst) != 4 || mnl_attr_get_payload_len(lladdr) != 6 ||
        mnl_attr_get_payload_len(cache) < sizeof(nda_cacheinfo)) {
        return MNL_CB_OK;
    }
    unsigned char address[4];
    std::memcpy(address, mnl_attr_get_payload(dst), 4);
    const Subnet24& subnet = *dump->subnet;
    if (address[0] != subnet[0] || address[1] != subnet[1] || address[2] != subnet[2])
        return MNL_CB_OK;
    const int host = address[3];
    if (!OnLink(*dump->links, ndm->ndm_ifindex, host)) return MNL_CB_OK;
    nda_cacheinfo info;
    std::memcpy(&info, mnl_attr_get_payload(cache), sizeof info);
    // ndm_confirmed is how long ago, not when, in whole ticks of a clock
    // whose jiffies may run a few milliseconds ahead: one the same number of
    // ticks old as the bound may be just inside it.
    if (static_cast<long>(info.ndm_confirmed) > dump->withinTicks) return MNL_CB_OK;
    NeighbourSighting s;
    s.host = host;
    std::memcpy(s.hardware.data(), mnl_attr_get_payload(lladdr), 6);
    static const std::array<unsigned char, 6> zero{};
    if (s.hardware != zero) dump->seen.push_back(s);
    return MNL_CB_OK;
}

}  // namespace

std::vector<NeighbourSighting> ConfirmedNeighbours(const Subnet24& subnet,
                                                   const std::vector<DirectLink>& links,
                                                   std::chrono::milliseconds within) {
    if (links.empty() || within.count() <= 0) return {};
    const long hz = sysconf(_SC_CLK_TCK);
    // Rounded up: an entry confirmed within the bound must not be cut off.
    const long ticks = (within.count() * (hz > 0 ? hz : 100) + 999) / 1000;
    Dump dump{&subnet, &links, ticks, {}};
    if (!RtnlDumpNeighbours(OnNeighbour, &dump)) return {};
    return dump.seen;
}

}  // namespace platform
