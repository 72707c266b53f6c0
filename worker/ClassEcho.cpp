// SPDX-License-Identifier: MIT
#include "worker/ClassEcho.h"

#include <cstring>
#include <stdexcept>

#include "echo/echo.h"
#include "platform/net/icmp.h"

namespace worker {

std::string ClassEcho::SendEcho(std::uint32_t destination, const std::string& data,
                                std::int32_t timeoutMs) {
    if (data.size() > kMaxData)
        throw std::invalid_argument("ClassEcho.SendEcho: at most " + std::to_string(kMaxData) +
                                    " bytes of data");
    if (timeoutMs < 0 || timeoutMs > kMaxTimeoutMs)
        throw std::invalid_argument("ClassEcho.SendEcho: the time-out must be 0 to " +
                                    std::to_string(kMaxTimeoutMs) + " ms");
    namespace er = platform::echo_reply;
    unsigned char reply[278] = {};
    static_assert(sizeof reply == er::kHeaderSize + kMaxData);
    // Without an answer the reply stays zero: no data.
    echo::LocalEcho(destination, data.data(), static_cast<std::uint16_t>(data.size()), reply,
                    static_cast<std::uint32_t>(timeoutMs));
    std::uint16_t size = 0;
    std::memcpy(&size, reply + er::kDataSize, sizeof size);
    return std::string(reinterpret_cast<const char*>(reply + er::kData), size);
}

std::string ClassEcho::IcmpProblem() const { return platform::IcmpProblem(); }

}  // namespace worker
