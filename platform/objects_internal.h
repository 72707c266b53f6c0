// Names shared by the object client and the object server: where the running
// server listens and the lock that keeps it alone.
#pragma once

#include <chrono>
#include <string>

namespace platform::objects::detail {

// The server's Unix socket in the session folder.
std::string SocketPath();
// Held (flock, exclusive) by the one server for its whole life; taken before a
// stale socket is removed and the socket bound.
std::string LockPath();

// A server that sees no activation this long after its start leaves.
inline constexpr std::chrono::seconds kIdleStartLimit{10};
// A connection that stops in the middle of a frame is closed after this long.
inline constexpr std::chrono::seconds kStalledFrameLimit{3};

}  // namespace platform::objects::detail
