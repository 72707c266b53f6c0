// SPDX-License-Identifier: MIT
// Sleeping on a 32-bit word: the futex calls behind the apartments' loops and
// the doorbell. Private words are only seen by this process's threads; shared
// ones may live in a block mapped by several processes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace platform::futex {

// Sleeps while `word` still holds `seen`, until `until` (monotonic) if given.
void Wait(std::atomic<std::uint32_t>& word, std::uint32_t seen,
          const std::chrono::steady_clock::time_point* until, bool shared);

// Wakes up to `count` sleepers on `word`.
void Wake(std::atomic<std::uint32_t>& word, int count, bool shared);

}  // namespace platform::futex
