// SPDX-License-Identifier: MIT
#include "platform/net/neighbour.h"

#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/net/direct_links.h"
#include "platform/net/rtnetlink.h"

namespace platform {
namespace {

std::mutex seamMutex;
SendArpFn fakeSendArp;

struct Search {
    std::uint32_t destination;  // memory order, as NDA_DST carries it
    int index;                  // the interface the destination is reached through
    unsigned char mac[6];
    bool found = false;
};

bool Complete(const ndmsg* ndm, const unsigned char* lladdr) {
    constexpr std::uint16_t kComplete =
        NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT;
    if (ndm->ndm_state & kComplete) return true;
    if (ndm->ndm_state & NUD_NOARP) {
        static const unsigned char zero[6] = {};
        return std::memcmp(lladdr, zero, 6) != 0;
    }
    return false;
}

int OnNeighbour(const nlmsghdr* nlh, void* arg) {
    auto* search = static_cast<Search*>(arg);
    const auto* ndm = static_cast<const ndmsg*>(mnl_nlmsg_get_payload(nlh));
    if (ndm->ndm_family != AF_INET || (ndm->ndm_flags & NTF_PROXY)) return MNL_CB_OK;
    const nlattr* attrs[NDA_MAX + 1] = {};
    if (mnl_attr_parse(nlh, sizeof(*ndm), RtnlCollectAttr<NDA_MAX>, attrs) < 0) return MNL_CB_OK;
    const nlattr* dst = attrs[NDA_DST];
    const nlattr* lladdr = attrs[NDA_LLADDR];
    // Only Ethernet-sized addresses fit the caller's 6 bytes; loopback's
    // entries (if any) carry none or zeros and so never count.
    if (dst == nullptr || lladdr == nullptr || mnl_attr_get_payload_len(dst) != 4 ||
        mnl_attr_get_payload_len(lladdr) != 6) {
        return MNL_CB_OK;
    }
    std::uint32_t addr;
    std::memcpy(&addr, mnl_attr_get_payload(dst), 4);
    const auto* mac = static_cast<const unsigned char*>(mnl_attr_get_payload(lladdr));
    if (addr == search->destination && ndm->ndm_ifindex == search->index && !search->found &&
        Complete(ndm, mac)) {
        std::memcpy(search->mac, mac, 6);
        search->found = true;
    }
    return MNL_CB_OK;
}

// Looks for a complete entry in the IPv4 neighbour table, on the interface
// that the echo to the destination went out of. The table may hold the address
// on other links too (a second interface on the same subnet, a VPN or a
// container bridge, a link the subnet used to be on); the dump lists them in
// the table's hash order, which changes as the table grows, so the first one
// found would be another device's MAC now and then.
std::uint32_t LookUpNeighbour(std::uint32_t destination, unsigned char (&mac)[6]) {
    const int index = DirectInterface(destination);
    if (index == 0) return kErrorBadNetName;
    Search search{destination, index, {}, false};
    if (!RtnlDumpNeighbours(OnNeighbour, &search)) return kErrorGenFailure;
    if (!search.found) return kErrorBadNetName;
    std::memcpy(mac, search.mac, 6);
    return kNoError;
}

// ---- the machine's own addresses ----

struct OwnAddress {
    std::uint32_t address;  // memory order
    int index = 0;          // interface holding it, 0 while none found
};

int OnAddress(const nlmsghdr* nlh, void* arg) {
    auto* own = static_cast<OwnAddress*>(arg);
    const auto* ifa = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(nlh));
    if (ifa->ifa_family != AF_INET || own->index != 0) return MNL_CB_OK;
    const nlattr* attrs[IFA_MAX + 1] = {};
    if (mnl_attr_parse(nlh, sizeof(*ifa), RtnlCollectAttr<IFA_MAX>, attrs) < 0) return MNL_CB_OK;
    // IFA_LOCAL is our side; IFA_ADDRESS is the peer on a point-to-point link
    // and the same address elsewhere.
    const nlattr* local = attrs[IFA_LOCAL] ? attrs[IFA_LOCAL] : attrs[IFA_ADDRESS];
    if (local == nullptr || mnl_attr_get_payload_len(local) != 4) return MNL_CB_OK;
    std::uint32_t addr;
    std::memcpy(&addr, mnl_attr_get_payload(local), 4);
    if (addr == own->address) own->index = static_cast<int>(ifa->ifa_index);
    return MNL_CB_OK;
}

// The hardware address of the interface that holds `address`, when it is one
// of this machine's own: the kernel answers for those itself, so the neighbour
// table never holds them.
std::uint32_t LookUpOwn(std::uint32_t address, unsigned char (&mac)[6]) {
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = RTM_GETADDR;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    auto* ifa = static_cast<ifaddrmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifaddrmsg)));
    ifa->ifa_family = AF_INET;
    OwnAddress own{address, 0};
    if (!RtnlAsk(nlh, OnAddress, &own)) return kErrorGenFailure;
    if (own.index == 0) return kErrorBadNetName;

    RtnlLink link;
    // The interface may have gone meanwhile: that is "no entry", as for a host.
    // Loopback's all-zero address, or a tunnel's, has nothing to give.
    if (!RtnlAskLink(own.index, link) || !link.hardware) return kErrorBadNetName;
    std::memcpy(mac, link.hardware->data(), 6);
    return kNoError;
}

}  // namespace

std::uint32_t SendARP(std::uint32_t destination, std::uint32_t source, void* mac,
                      std::uint32_t* macLength) {
    SendArpFn fake;
    {
        std::lock_guard lock(seamMutex);
        fake = fakeSendArp;
    }
    if (fake) return fake(destination, source, mac, macLength);
    if (mac == nullptr || macLength == nullptr || *macLength < 6) return kErrorInvalidParameter;
    unsigned char found[6];
    std::uint32_t rc = LookUpNeighbour(destination, found);
    if (rc == kErrorBadNetName) rc = LookUpOwn(destination, found);
    if (rc != kNoError) return rc;
    std::memcpy(mac, found, 6);
    *macLength = 6;
    return kNoError;
}

void SetSendArpForTesting(SendArpFn fn) {
    std::lock_guard lock(seamMutex);
    fakeSendArp = std::move(fn);
}

}  // namespace platform
