// SPDX-License-Identifier: MIT
#include "platform/net/rtnetlink.h"

#include <linux/if_link.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace platform {
namespace {

struct SocketCloser {
    void operator()(mnl_socket* s) const { mnl_socket_close(s); }
};

int OnLink(const nlmsghdr* nlh, void* arg) {
    auto* link = static_cast<RtnlLink*>(arg);
    const auto* ifi = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(nlh));
    const nlattr* attrs[IFLA_MAX + 1] = {};
    if (mnl_attr_parse(nlh, sizeof(*ifi), RtnlCollectAttr<IFLA_MAX>, attrs) < 0) return MNL_CB_OK;
    link->type = ifi->ifi_type;
    link->flags = ifi->ifi_flags;
    const nlattr* hw = attrs[IFLA_ADDRESS];
    static const unsigned char zero[6] = {};
    if (hw == nullptr || mnl_attr_get_payload_len(hw) != 6 ||
        std::memcmp(mnl_attr_get_payload(hw), zero, 6) == 0) {
        return MNL_CB_OK;
    }
    link->hardware.emplace();
    std::memcpy(link->hardware->data(), mnl_attr_get_payload(hw), 6);
    return MNL_CB_OK;
}

}  // namespace

bool RtnlAsk(nlmsghdr* request, mnl_cb_t cb, void* data) {
    std::unique_ptr<mnl_socket, SocketCloser> nl(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
    if (!nl || mnl_socket_bind(nl.get(), 0, MNL_SOCKET_AUTOPID) < 0) return false;
    // The kernel answers at once; the bound only guards against a hang.
    timeval tv{2, 0};
    setsockopt(mnl_socket_get_fd(nl.get()), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const unsigned seq = static_cast<unsigned>(time(nullptr));
    request->nlmsg_seq = seq;
    if (mnl_socket_sendto(nl.get(), request, request->nlmsg_len) < 0) return false;

    const bool dump = (request->nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
    const unsigned portid = mnl_socket_get_portid(nl.get());
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    for (;;) {
        const ssize_t n = mnl_socket_recvfrom(nl.get(), buf.data(), buf.size());
        if (n <= 0) return false;
        const int r = mnl_cb_run(buf.data(), static_cast<size_t>(n), seq, portid, cb, data);
        if (r == MNL_CB_ERROR) return false;
        if (r == MNL_CB_STOP || !dump) return true;
    }
}

bool RtnlDumpNeighbours(mnl_cb_t cb, void* data) {
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = RTM_GETNEIGH;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    auto* ndm = static_cast<ndmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ndmsg)));
    ndm->ndm_family = AF_INET;
    return RtnlAsk(nlh, cb, data);
}

bool RtnlAskLink(int index, RtnlLink& link) {
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = RTM_GETLINK;
    nlh->nlmsg_flags = NLM_F_REQUEST;
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = index;
    link = {};
    return RtnlAsk(nlh, OnLink, &link);
}

}  // namespace platform
