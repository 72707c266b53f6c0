// SPDX-License-Identifier: MIT
#include "platform/net/direct_links.h"

#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>

#include <cstring>
#include <map>
#include <utility>

#include "platform/net/rtnetlink.h"

namespace platform {
namespace {

struct Route {
    bool direct = false;  // unicast, on a link, no gateway
    int index = 0;
    std::uint32_t source = 0;
};

int OnRoute(const nlmsghdr* nlh, void* arg) {
    auto* route = static_cast<Route*>(arg);
    const auto* rtm = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(nlh));
    const nlattr* attrs[RTA_MAX + 1] = {};
    if (mnl_attr_parse(nlh, sizeof(*rtm), RtnlCollectAttr<RTA_MAX>, attrs) < 0) return MNL_CB_OK;
    // Local and broadcast addresses are answered by this machine itself.
    if (rtm->rtm_family != AF_INET || rtm->rtm_type != RTN_UNICAST || attrs[RTA_GATEWAY] ||
        attrs[RTA_VIA] || !attrs[RTA_OIF] || !attrs[RTA_PREFSRC] ||
        mnl_attr_get_payload_len(attrs[RTA_PREFSRC]) != 4) {
        return MNL_CB_OK;
    }
    route->direct = true;
    route->index = static_cast<int>(mnl_attr_get_u32(attrs[RTA_OIF]));
    std::memcpy(&route->source, mnl_attr_get_payload(attrs[RTA_PREFSRC]), 4);
    return MNL_CB_OK;
}

Route LookUpRoute(std::uint32_t destination) {
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = RTM_GETROUTE;
    nlh->nlmsg_flags = NLM_F_REQUEST;
    auto* rtm = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
    rtm->rtm_family = AF_INET;
    rtm->rtm_dst_len = 32;
    mnl_attr_put(nlh, RTA_DST, 4, &destination);
    Route route;
    // No route at all is an error answer: not direct.
    if (!RtnlAsk(nlh, OnRoute, &route)) return {};
    return route;
}

struct Link {
    bool usable = false;
    std::array<unsigned char, 6> hardware{};
};

// A link ARP can be asked on: Ethernet, ARP on, a hardware address.
Link LookUpLink(int index) {
    RtnlLink link;
    if (!RtnlAskLink(index, link) || link.type != ARPHRD_ETHER || (link.flags & IFF_NOARP) ||
        !link.hardware) {
        return {};
    }
    return {true, *link.hardware};
}

}  // namespace

std::uint32_t HostAddress(const Subnet24& subnet, int n) {
    const unsigned char bytes[4] = {subnet[0], subnet[1], subnet[2], static_cast<unsigned char>(n)};
    std::uint32_t address;
    std::memcpy(&address, bytes, 4);
    return address;
}

int DirectInterface(std::uint32_t destination) {
    const Route route = LookUpRoute(destination);
    return route.direct ? route.index : 0;
}

std::vector<DirectLink> DirectLinks(const Subnet24& subnet) {
    // Keyed by interface and source: a /24 split over two links gives two.
    std::map<std::pair<int, std::uint32_t>, DirectLink> found;
    std::map<int, Link> links;
    for (int n = 1; n <= 255; ++n) {
        const Route route = LookUpRoute(HostAddress(subnet, n));
        if (!route.direct) continue;
        auto known = links.find(route.index);
        if (known == links.end()) known = links.emplace(route.index, LookUpLink(route.index)).first;
        if (!known->second.usable) continue;
        DirectLink& link = found[{route.index, route.source}];
        link.index = route.index;
        link.source = route.source;
        link.hardware = known->second.hardware;
        link.hosts.push_back(n);
    }
    std::vector<DirectLink> out;
    for (auto& [key, link] : found) out.push_back(std::move(link));
    return out;
}

}  // namespace platform
