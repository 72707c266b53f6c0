// SPDX-License-Identifier: MIT
// The session's doorbell: a futex word in a small named shared block, which a
// writer rings right after leaving work in another shared block (the window's
// proxy after a command byte), so that the process watching those blocks
// (apartment.h's watched timers) looks at once instead of at its next scan.
//
// A ring carries nothing but "look now": a ring that never comes (a writer
// killed in between) only delays the work to the watcher's next scan, and a
// ring nobody waits for costs one system call.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

namespace platform {

class FileMapping;

class Doorbell {
  public:
    // The session's doorbell, shared by every holder in this process; null when
    // its block cannot be opened (then nobody can ring, and watchers only scan).
    static std::shared_ptr<Doorbell> Open();
    ~Doorbell();
    Doorbell(const Doorbell&) = delete;
    Doorbell& operator=(const Doorbell&) = delete;

    // Counts one ring and wakes every waiter in every process of the session.
    void Ring();
    // The rings counted so far (wrapping): what a waiter passes to Wait.
    std::uint32_t Rings() const;
    // Sleeps while the count is still `seen`, until `until` at the latest.
    // Wakes early for a ring, for Nudge, or spuriously.
    void Wait(std::uint32_t seen, std::chrono::steady_clock::time_point until) const;
    // Wakes the waiters without counting a ring (a watcher told to re-plan or stop).
    void Nudge();

  private:
    Doorbell(std::unique_ptr<FileMapping> map, std::atomic<std::uint32_t>* word);
    std::unique_ptr<FileMapping> map_;
    std::atomic<std::uint32_t>* word_;
};

// Rings the session's doorbell without holding it open: for a writer that
// rings rarely. Holders of a Doorbell call Ring on it instead.
void RingDoorbell();

}  // namespace platform
