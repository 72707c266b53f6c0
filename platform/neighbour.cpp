#include "platform/neighbour.h"

#include <libmnl/libmnl.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {
namespace {

std::mutex gSeamMutex;
SendArpFn gFake;

struct Search {
    std::uint32_t destination;  // memory order, as NDA_DST carries it
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

int CollectAttr(const nlattr* attr, void* data) {
    const int type = mnl_attr_get_type(attr);
    if (type >= 0 && type <= NDA_MAX) static_cast<const nlattr**>(data)[type] = attr;
    return MNL_CB_OK;
}

int OnNeighbour(const nlmsghdr* nlh, void* arg) {
    auto* search = static_cast<Search*>(arg);
    const auto* ndm = static_cast<const ndmsg*>(mnl_nlmsg_get_payload(nlh));
    if (ndm->ndm_family != AF_INET || (ndm->ndm_flags & NTF_PROXY)) return MNL_CB_OK;
    const nlattr* attrs[NDA_MAX + 1] = {};
    if (mnl_attr_parse(nlh, sizeof(*ndm), CollectAttr, attrs) < 0) return MNL_CB_OK;
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
    if (addr == search->destination && !search->found && Complete(ndm, mac)) {
        std::memcpy(search->mac, mac, 6);
        search->found = true;
    }
    return MNL_CB_OK;
}

struct SocketCloser {
    void operator()(mnl_socket* s) const { mnl_socket_close(s); }
};

// Dumps the IPv4 neighbour table on a socket of its own (no state shared
// between concurrent callers) and looks for a complete entry.
std::uint32_t LookUp(std::uint32_t destination, unsigned char (&mac)[6]) {
    std::unique_ptr<mnl_socket, SocketCloser> nl(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
    if (!nl || mnl_socket_bind(nl.get(), 0, MNL_SOCKET_AUTOPID) < 0) return kErrorGenFailure;
    // The kernel answers a dump at once; the bound only guards against a hang.
    timeval tv{2, 0};
    setsockopt(mnl_socket_get_fd(nl.get()), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = RTM_GETNEIGH;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    const unsigned seq = static_cast<unsigned>(time(nullptr));
    nlh->nlmsg_seq = seq;
    auto* ndm = static_cast<ndmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ndmsg)));
    ndm->ndm_family = AF_INET;
    if (mnl_socket_sendto(nl.get(), nlh, nlh->nlmsg_len) < 0) return kErrorGenFailure;

    const unsigned portid = mnl_socket_get_portid(nl.get());
    Search search{destination, {}, false};
    for (;;) {
        const ssize_t n = mnl_socket_recvfrom(nl.get(), buf.data(), buf.size());
        if (n <= 0) return kErrorGenFailure;
        const int r =
            mnl_cb_run(buf.data(), static_cast<size_t>(n), seq, portid, OnNeighbour, &search);
        if (r == MNL_CB_STOP) break;
        if (r == MNL_CB_ERROR) return kErrorGenFailure;
    }
    if (!search.found) return kErrorBadNetName;
    std::memcpy(mac, search.mac, 6);
    return kNoError;
}

}  // namespace

std::uint32_t SendARP(std::uint32_t destination, std::uint32_t source, void* mac,
                      std::uint32_t* macLength) {
    SendArpFn fake;
    {
        std::lock_guard lock(gSeamMutex);
        fake = gFake;
    }
    if (fake) return fake(destination, source, mac, macLength);
    if (mac == nullptr || macLength == nullptr || *macLength < 6) return kErrorInvalidParameter;
    unsigned char found[6];
    const std::uint32_t rc = LookUp(destination, found);
    if (rc != kNoError) return rc;
    std::memcpy(mac, found, 6);
    *macLength = 6;
    return kNoError;
}

void SetSendArpForTesting(SendArpFn fn) {
    std::lock_guard lock(gSeamMutex);
    gFake = std::move(fn);
}

}  // namespace platform
