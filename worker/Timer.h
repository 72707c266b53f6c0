// SPDX-License-Identifier: MIT
// A periodic event without a window, on a thread timer of the calling
// apartment. The ping worker owns one as Timer1 and polls its slot from the
// event's handler.
//
// Quirks kept on purpose, because the worker's start/stop logic relies on
// them: StartTimer never restarts a running timer (a new Interval only takes
// effect at the next start), and Enabled <- true on a running timer leaves it
// running but makes Enabled read false.
//
// A Timer belongs to the apartment thread that starts it; it must be started,
// stopped and destroyed there. Destruction stops it, so no tick reaches a
// destroyed object.
#pragma once

#include <cstdint>
#include <functional>

namespace worker {

class Timer {
  public:
    Timer() = default;
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    std::int32_t Interval() const { return interval_; }
    // Stores v, then re-applies Enabled with the current flag.
    void Interval(std::int32_t v);

    bool Enabled() const { return enabled_; }
    // true: the flag becomes the result of StartTimer; false: StopTimer.
    void Enabled(bool v);

    // Starts a thread timer unless one runs or Interval is below 1; true when
    // this call started one.
    bool StartTimer();
    // Stops the running timer, if any, and clears the flag.
    void StopTimer();
    // Raises the Timer event: the handler runs at once on the calling thread.
    // Called only by TimerProc.
    void RaiseTimer();

    // The handler of the Timer event (one per object, as a withevents member has).
    void OnTimer(std::function<void()> handler) { handler_ = std::move(handler); }

    // The id of the running thread timer, 0 when none runs.
    std::uintptr_t TimerId() const { return timerId_; }

  private:
    std::uintptr_t timerId_ = 0;
    std::int32_t interval_ = 0;
    bool enabled_ = false;
    std::function<void()> handler_;
};

}  // namespace worker
