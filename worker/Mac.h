// SPDX-License-Identifier: MIT
// The hardware address of a host on the local link, from the neighbour table.
#pragma once

#include <string>

namespace worker {

// "AA-BB-CC-DD-EE-FF" in upper case, or "00-00-00-00-00-00" when the lookup fails.
std::string LookupMac(const std::string& address);

}  // namespace worker
