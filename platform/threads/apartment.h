// SPDX-License-Identifier: MIT
// Apartments and thread timers: the stand-in for COM's single-threaded
// apartments and for SetTimer/KillTimer without a window.
//
// An apartment is a thread with its own message loop. The loop runs, one at a
// time and in order, the calls posted to it and the ticks of the thread timers
// started on that thread. A timer tick that finds its handler still busy is not
// queued: the next tick comes one interval after the loop is free again, so a
// long handler (a worker's echo) never produces a burst.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace platform {

class Apartment {
  public:
    Apartment();   // starts the thread and its loop
    ~Apartment();  // runs the calls already posted, stops the loop, joins the thread

    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;

    // Queues fn to run on the apartment's thread. Calls posted from one thread run
    // in the order they were posted. After the apartment has begun to stop, fn is dropped.
    void Post(std::function<void()> fn);

    // Runs fn on the apartment's thread and waits for it; rethrows what fn threw.
    // Called on the apartment's own thread, it runs fn at once.
    void Run(const std::function<void()>& fn);

    // True on the apartment's own thread.
    bool IsCurrent() const;

    // The apartment whose thread is the calling thread, or nullptr.
    static Apartment* Current();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// Thread timers (SetTimer(NULL, 0, interval, proc) / KillTimer(NULL, id)).
// Only valid on an apartment's thread: the timer belongs to that thread, and
// its callback is called only from that thread's loop.
using TIMERPROC = void (*)(void* hwnd, unsigned int msg, std::uintptr_t idEvent,
                           std::uint32_t time);

// Starts a periodic timer of `elapseMs` (>= 1) on the calling apartment's thread.
// Returns its non-zero id, or 0 when it cannot (no apartment on this thread,
// hwnd not null, an interval below 1).
std::uintptr_t SetTimer(void* hwnd, std::uintptr_t idEvent, std::uint32_t elapseMs, TIMERPROC proc);

// Stops the timer `id` of the calling thread; no tick of it runs afterwards.
// False when no such timer runs on this thread.
bool KillTimer(void* hwnd, std::uintptr_t id);

inline constexpr unsigned int WM_TIMER = 0x0113;

// Watched timers. A worker's tick that finds no command does nothing, yet
// waking 255 threads 20 times a second to find that out kept a whole core busy
// in part. A watched timer no longer ticks on its own clock: one watcher thread
// per process reads the watched byte of every such timer once per interval
// (the shortest among them), and at once when the session's doorbell rings
// (doorbell.h), and lets the timer tick only when its byte holds one of the
// `wanted` characters. The tick itself still runs on the timer's own
// apartment thread, one at a time with the calls posted there; the first one
// comes no sooner than one interval after the timer started, as with a plain
// timer. KillTimer (or the apartment's end) ends the watch with the timer.
//
// `byte` may be written by other threads and processes; it must stay mapped
// until the timer is killed. False when `id` names no running timer of the
// calling thread, or the watcher cannot start (the timer then ticks as before).
bool WatchTimer(std::uintptr_t id, const unsigned char* byte, std::string_view wanted);

// Tests: scan every `period` instead of every interval; zero restores that, a
// huge period leaves only the doorbell.
void SetWatchPeriodForTesting(std::chrono::milliseconds period);

}  // namespace platform
