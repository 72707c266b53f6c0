// SPDX-License-Identifier: MIT
// Names shared by the object client and the object server: where the running
// server listens and the lock that keeps it alone.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/threads/shared_block.h"

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

// What one peer may make the server hold. A connection over either bound is
// closed; the others are not affected.
//   replies queued for a peer that does not read them, and how long such a
//   queue may go without draining
inline constexpr std::size_t kMaxQueuedReplyBytes = 1024 * 1024;
inline constexpr std::chrono::seconds kDrainLimit{5};
//   calls (and creations) taken but not yet answered
inline constexpr long kMaxCallsInFlight = 1024;
// Shared blocks one peer's objects may open, counted as asked for: half of the
// session's budget, so that the others still find room for their slots. Past
// it an open fails with error 8; the connection goes on.
inline constexpr std::int64_t kMaxBlockBytesPerConnection = kSessionBlockBudget / 2;
// Objects alive across all connections: each one is a thread. A window's
// workers and slot objects are 510, and one connection may hold at most
// frames::kMaxObjectsPerConnection, so that one client never locks out two windows.
inline constexpr long kMaxLiveObjects = 2048;

}  // namespace platform::objects::detail
