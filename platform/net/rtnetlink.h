// SPDX-License-Identifier: MIT
// Questions to the kernel's routing netlink (rtnetlink) through libmnl: the
// neighbour table, routes, addresses and links. Each question gets a socket of
// its own, so concurrent callers share no state, and every answer is bounded
// in time.
#pragma once

#include <libmnl/libmnl.h>

#include <array>
#include <optional>

namespace platform {

// Sends `request` (its sequence number is set here) and hands every message of
// the answer to `cb`: a dump ends with its done message, a single get with its
// one answer. False when the socket cannot be made, the kernel refuses (an
// error answer, e.g. no route) or nothing comes within two seconds.
bool RtnlAsk(nlmsghdr* request, mnl_cb_t cb, void* data);

// Asks for the whole IPv4 neighbour table: `cb` gets every entry (an ndmsg).
bool RtnlDumpNeighbours(mnl_cb_t cb, void* data);

// One link, asked by its interface index: its type (ARPHRD_*), its flags
// (IFF_*) and its hardware address, which stays unset for loopback's all-zero
// address or a link without an Ethernet-sized one (a tunnel).
struct RtnlLink {
    unsigned short type = 0;
    unsigned flags = 0;
    std::optional<std::array<unsigned char, 6>> hardware;
};
// False when the link cannot be asked for (it may have gone meanwhile).
bool RtnlAskLink(int index, RtnlLink& link);

// For mnl_attr_parse: files each attribute under its type in an array of
// Max + 1 pointers.
template <int Max>
int RtnlCollectAttr(const nlattr* attr, void* data) {
    const int type = mnl_attr_get_type(attr);
    if (type >= 0 && type <= Max) static_cast<const nlattr**>(data)[type] = attr;
    return MNL_CB_OK;
}

}  // namespace platform
