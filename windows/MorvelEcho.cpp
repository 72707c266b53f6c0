// SPDX-License-Identifier: MIT
#include "windows/MorvelEcho.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "contract/classes.h"
#include "echo/echo.h"
#include "platform/net/icmp.h"
#include "platform/objects/objects.h"

namespace windows {
namespace {

// Beyond the echo's own time-out: Morvel's turn-around on a loaded machine,
// but never the call limit's 30 s of a frozen window.
constexpr std::chrono::milliseconds kAnswerMargin{1000};

}  // namespace

MorvelEcho::MorvelEcho() = default;
MorvelEcho::~MorvelEcho() = default;

void MorvelEcho::Send(std::uint32_t destination, const void* data, std::uint16_t size,
                      unsigned char (&reply)[278], std::uint32_t timeoutMs) {
    // Asked at every echo: a changed ping_group_range takes effect at once.
    if (platform::IcmpPermitted()) {
        echo_.reset();
        echo::LocalEcho(destination, data, size, reply, timeoutMs);
        return;
    }
    using platform::objects::Arg;
    using platform::objects::ObjectError;
    std::vector<Arg> args{Arg(static_cast<std::int32_t>(destination)),
                          Arg(std::string(static_cast<const char*>(data), size)),
                          Arg(static_cast<std::int32_t>(timeoutMs))};
    Arg result;
    try {
        if (!echo_)
            echo_ = platform::objects::CreateObject(morvel::kClassEchoClsid, morvel::kClassEchoIid);
        result = echo_->Call(morvel::ClassEchoMember::SendEcho, args,
                             std::chrono::milliseconds(timeoutMs) + kAnswerMargin);
    } catch (const ObjectError& e) {
        echo_.reset();
        throw ObjectError(std::string("echo through Morvel failed: ") + e.what());
    }
    const auto* echoed = std::get_if<std::string>(&result);
    if (!echoed) throw ObjectError("echo through Morvel failed: a malformed answer");
    namespace er = platform::echo_reply;
    // The answer is another process's: only what fits the buffer is taken.
    const auto taken = static_cast<std::uint16_t>(
        std::min<std::size_t>(echoed->size(), sizeof reply - er::kHeaderSize));
    if (taken == 0) return;
    std::memcpy(reply + er::kAddress, &destination, sizeof destination);
    std::memcpy(reply + er::kDataSize, &taken, sizeof taken);
    std::memcpy(reply + er::kData, echoed->data(), taken);
}

}  // namespace windows
