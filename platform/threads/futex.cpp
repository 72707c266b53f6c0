// SPDX-License-Identifier: MIT
#include "platform/threads/futex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace platform::futex {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

void Wait(std::atomic<std::uint32_t>& word, std::uint32_t seen,
          const std::chrono::steady_clock::time_point* until, bool shared) {
    timespec ts{};
    if (until) {
        // steady_clock is CLOCK_MONOTONIC on Linux, the bitset wait's clock.
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until->time_since_epoch());
        if (ns.count() < 0) ns = std::chrono::nanoseconds(0);
        ts.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
        ts.tv_nsec = static_cast<long>(ns.count() % 1000000000);
    }
    const int op = shared ? FUTEX_WAIT_BITSET : FUTEX_WAIT_BITSET_PRIVATE;
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, seen, until ? &ts : nullptr,
              nullptr, FUTEX_BITSET_MATCH_ANY);
}

void Wake(std::atomic<std::uint32_t>& word, int count, bool shared) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word),
              shared ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

}  // namespace platform::futex
