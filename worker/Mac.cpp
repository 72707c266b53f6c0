// SPDX-License-Identifier: MIT
#include "worker/Mac.h"

#include <arpa/inet.h>

#include <cstdio>

#include "platform/files/codepage.h"
#include "platform/net/neighbour.h"

namespace worker {

std::string LookupMac(const std::string& address) {
    const std::uint32_t destination = inet_addr(platform::ToAnsi(address).c_str());
    unsigned char mac[6] = {};
    std::uint32_t length = 6;
    // The result code is not consulted: the buffer alone decides.
    platform::SendARP(destination, 0, mac, &length);
    if (mac[0] == 0 && mac[1] == 0 && mac[2] == 0 && mac[3] == 0) return "00-00-00-00-00-00";
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

}  // namespace worker
