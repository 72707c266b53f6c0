// SPDX-License-Identifier: MIT
// libFuzzer harness for what a peer's bytes reach first: the frame decoders and
// the server's per-connection dispatcher.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/objects/frames.h"

using namespace platform::frames;

namespace {

// Decoding is strict, so whatever decodes must encode back to the same bytes;
// a difference means a field is read differently than it is written.
void CheckRoundTrip(std::string_view in) {
    std::string why;
    Request req;
    if (DecodeRequest(in, req, why)) {
        std::string f = EncodeRequest(req);
        if (f.empty() || std::string_view(f).substr(4) != in) std::abort();
    }
    Reply rep;
    if (DecodeReply(in, rep, why)) {
        std::string f = EncodeReply(rep);
        if (f.empty() || std::string_view(f).substr(4) != in) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    CheckRoundTrip(in);

    // The same bytes as a stream, cut into chunks of a size the input chooses.
    Dispatcher d({{"{C}", "{I}"}}, 8);
    std::size_t chunk = size ? (data[0] % 16) + 1 : 1;
    std::vector<Action> out;
    for (std::size_t pos = 0; pos < size && !d.Closed(); pos += chunk)
        d.Receive(in.data() + pos, std::min(chunk, size - pos), out);
    for (const auto& a : out) {
        std::string why;
        Reply rep;
        // Every reply the dispatcher makes must be one a client can read.
        if (a.type == Action::Type::Send &&
            (!DecodeReply(std::string_view(a.frame).substr(4), rep, why) ||
             rep.requestId != a.requestId))
            std::abort();
        if (a.type == Action::Type::Create && a.objectId == 0) std::abort();
    }
    if (d.Objects().size() > 8) std::abort();
    return 0;
}
