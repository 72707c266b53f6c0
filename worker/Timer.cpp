// SPDX-License-Identifier: MIT
#include "worker/Timer.h"

#include "platform/threads/apartment.h"
#include "worker/MdTimer.h"

namespace worker {

Timer::~Timer() { StopTimer(); }

void Timer::Interval(std::int32_t v) {
    interval_ = v;
    Enabled(enabled_);
}

void Timer::Enabled(bool v) {
    if (v)
        enabled_ = StartTimer();
    else
        StopTimer();
}

bool Timer::StartTimer() {
    if (timerId_ != 0) return false;
    if (interval_ < 1) return false;
    timerId_ = platform::SetTimer(nullptr, 0, static_cast<std::uint32_t>(interval_), &TimerProc);
    if (timerId_ == 0) return false;
    TimerRegistry()[Key(timerId_)] = this;
    return true;
}

void Timer::StopTimer() {
    if (timerId_ == 0) return;
    platform::KillTimer(nullptr, timerId_);
    TimerRegistry().erase(Key(timerId_));
    timerId_ = 0;
    enabled_ = false;
}

void Timer::RaiseTimer() {
    // A copy, so that a handler which destroys this Timer does not pull its own
    // code out from under itself; nothing of *this is touched after the call.
    auto handler = handler_;
    if (handler) handler();
}

}  // namespace worker
