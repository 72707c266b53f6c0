// SPDX-License-Identifier: MIT
#include "platform/threads/apartment.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/process/msgbox.h"
#include "platform/threads/futex.h"
#include "platform/threads/watcher.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// Timer ids are unique in the process, never reused, so a stale id held by a
// registry can never name a later timer.
std::atomic<std::uintptr_t> nextTimerId{1};

struct ThreadTimer {
    std::chrono::milliseconds interval;
    TIMERPROC proc;
    Clock::time_point due;
    Watch watch{};  // empty: the timer ticks on its own clock
};

// What a tick reports as its time: milliseconds of the monotonic clock,
// wrapping like a tick count.
std::uint32_t TickCount() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
}

void Report(const char* what, const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        platform::LogLine("apartment: %s ended with an error: %s", what, ex.what());
    } catch (...) {
        platform::LogLine("apartment: %s ended with an unknown error", what);
    }
}

}  // namespace

// Shared by the Apartment and its thread, so that an apartment destroyed from
// its own thread can let the thread finish after the Apartment object is gone.
struct LoopState final : GateOwner {
    static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
    std::mutex mutex;
    // The loop sleeps on this futex word rather than a condition variable: with
    // 255 workers each waking every 50 ms, the condition variable's re-lock and
    // wake calls roughly doubled the idle cost of the worker host.
    std::atomic<std::uint32_t> wakeSeq{0};    // bumped under mutex by every wake-up
    std::deque<std::function<void()>> queue;  // guarded by mutex
    bool stopping = false;                    // guarded by mutex
    std::thread::id threadId;
    std::thread thread;

    // Only touched on the apartment's own thread.
    std::map<std::uintptr_t, ThreadTimer> timers;

    bool TryPost(std::function<void()> fn) {
        // Notified under the lock: once it is released, a loop that is ending
        // may free this state.
        std::lock_guard lock(mutex);
        if (stopping) return false;
        queue.push_back(std::move(fn));
        Wake();
        return true;
    }

    void Wake() {
        wakeSeq.fetch_add(1, std::memory_order_release);
        futex::Wake(wakeSeq, 1, false);
    }

    // From the watcher: lets a watched timer tick.
    void Fire(Gate& gate) override {
        std::lock_guard lock(mutex);
        if (stopping) return;
        gate.fired.store(true, std::memory_order_relaxed);
        Wake();
    }

    void Loop();
    void RunDueTimers();
};

namespace {
thread_local Apartment* currentApartment = nullptr;
thread_local LoopState* currentLoop = nullptr;
}  // namespace

struct Apartment::Impl {
    std::shared_ptr<LoopState> state;
};

void LoopState::RunDueTimers() {
    // Each due timer ticks once per pass; its next due time is set after its
    // handler returns, so an overrun skips the missed ticks instead of queuing them.
    auto now = Clock::now();
    std::vector<std::uintptr_t> due;
    for (auto& [id, t] : timers) {
        const bool ready = t.watch.gate ? t.watch.gate->fired.exchange(false) : t.due <= now;
        if (ready) due.push_back(id);
    }
    for (auto id : due) {
        auto it = timers.find(id);
        if (it == timers.end()) continue;  // killed by an earlier handler of this pass
        TIMERPROC proc = it->second.proc;
        auto planned = it->second.due;
        try {
            proc(nullptr, WM_TIMER, id, TickCount());
        } catch (...) {
            Report("a timer callback", std::current_exception());
        }
        it = timers.find(id);
        if (it == timers.end() || it->second.due != planned) continue;  // killed or reset
        if (it->second.watch.gate) continue;                            // ticks when fired
        auto next = planned + it->second.interval;
        auto after = Clock::now();
        it->second.due = next > after ? next : after + it->second.interval;
    }
}

void LoopState::Loop() {
    for (;;) {
        std::function<void()> fn;
        {
            std::unique_lock lock(mutex);
            for (;;) {
                if (!queue.empty() || stopping) break;
                Clock::time_point earliest{};
                bool timed = false, fired = false;
                for (auto& [id, t] : timers) {
                    if (t.watch.gate) {
                        // Set under this mutex, so it cannot slip past the wait below.
                        fired = fired || t.watch.gate->fired.load(std::memory_order_relaxed);
                        continue;
                    }
                    if (!timed || t.due < earliest) earliest = t.due;
                    timed = true;
                }
                if (fired || (timed && earliest <= Clock::now())) break;
                // Read under the lock: a post after this point changes the word,
                // so the wait below returns at once instead of missing it.
                std::uint32_t seen = wakeSeq.load(std::memory_order_acquire);
                lock.unlock();
                futex::Wait(wakeSeq, seen, timed ? &earliest : nullptr, false);
                lock.lock();
            }
            if (!queue.empty()) {
                fn = std::move(queue.front());
                queue.pop_front();
            } else if (stopping) {
                break;
            }
        }
        if (fn) {
            try {
                fn();
            } catch (...) {
                Report("a posted call", std::current_exception());
            }
            fn = nullptr;  // destroy captures on this thread, before any timer tick
        }
        bool stop;
        {
            std::lock_guard lock(mutex);
            stop = stopping;
        }
        if (!stop) RunDueTimers();
    }
    timers.clear();
}

Apartment::Apartment() : impl_(std::make_unique<Impl>()) {
    auto shared = std::make_shared<LoopState>();
    Apartment* self = this;
    // threadId is written here before anything can be posted; the mutex of the
    // first Post orders it before every read on the loop thread.
    shared->thread = std::thread([shared, self] {
        currentApartment = self;
        currentLoop = shared.get();
        shared->Loop();
        currentApartment = nullptr;
        currentLoop = nullptr;
    });
    shared->threadId = shared->thread.get_id();
    impl_->state = std::move(shared);
}

Apartment::~Apartment() {
    std::shared_ptr<LoopState> impl = std::move(impl_->state);
    {
        std::lock_guard lock(impl->mutex);
        impl->stopping = true;
        impl->Wake();
    }
    if (std::this_thread::get_id() == impl->threadId) {
        // Destroyed by one of its own calls: the loop ends when that call returns.
        currentApartment = nullptr;
        impl->thread.detach();
    } else {
        impl->thread.join();
    }
}

void Apartment::Post(std::function<void()> fn) {
    auto state = impl_->state;  // the call may destroy this apartment before Post returns
    state->TryPost(std::move(fn));
}

void Apartment::Run(const std::function<void()>& fn) {
    if (IsCurrent()) {
        fn();
        return;
    }
    std::promise<void> done;
    auto result = done.get_future();
    bool posted = impl_->state->TryPost([&fn, &done] {
        try {
            fn();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    if (!posted) throw std::runtime_error("the apartment is shutting down");
    result.get();
}

bool Apartment::IsCurrent() const { return std::this_thread::get_id() == impl_->state->threadId; }

Apartment* Apartment::Current() { return currentApartment; }

std::uintptr_t SetTimer(void* hwnd, std::uintptr_t idEvent, std::uint32_t elapseMs,
                        TIMERPROC proc) {
    LoopState* impl = currentLoop;
    if (!impl || hwnd != nullptr || elapseMs < 1 || proc == nullptr) return 0;
    auto interval = std::chrono::milliseconds(elapseMs);
    auto due = Clock::now() + interval;
    // As with a thread timer: an id of this thread's running timer resets that
    // timer; any other id is ignored and a new one is made.
    if (auto it = impl->timers.find(idEvent); idEvent != 0 && it != impl->timers.end()) {
        it->second = ThreadTimer{interval, proc, due};
        return idEvent;
    }
    std::uintptr_t id = nextTimerId.fetch_add(1);
    impl->timers.emplace(id, ThreadTimer{interval, proc, due});
    return id;
}

bool KillTimer(void* hwnd, std::uintptr_t id) {
    LoopState* impl = currentLoop;
    if (!impl || hwnd != nullptr) return false;
    return impl->timers.erase(id) > 0;
}

bool WatchTimer(std::uintptr_t id, const unsigned char* byte, std::string_view wanted) {
    LoopState* impl = currentLoop;
    if (!impl || byte == nullptr) return false;
    auto it = impl->timers.find(id);
    if (it == impl->timers.end()) return false;
    auto gate = std::make_shared<Gate>();
    gate->owner = impl;
    gate->byte = const_cast<unsigned char*>(byte);  // only ever read
    gate->wanted = std::string(wanted);
    gate->interval = it->second.interval;
    gate->notBefore = it->second.due;
    if (!Watcher::Get().Add(gate)) return false;
    it->second.watch = Watch{};
    it->second.watch.gate = std::move(gate);
    return true;
}

}  // namespace platform
