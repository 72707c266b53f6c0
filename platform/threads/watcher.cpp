// SPDX-License-Identifier: MIT
#include "platform/threads/watcher.h"

#include <system_error>

#include "platform/threads/apartment.h"
#include "platform/threads/doorbell.h"
#include "platform/threads/futex.h"

namespace platform {

Watcher& Watcher::Get() {
    static Watcher* w = new Watcher;
    return *w;
}

Watcher::Clock::duration Watcher::Period() const {
    if (testPeriod_.count() > 0) return testPeriod_;
    std::chrono::milliseconds shortest{50};
    for (std::size_t i = 0; i < gates_.size(); ++i)
        if (i == 0 || gates_[i]->interval < shortest) shortest = gates_[i]->interval;
    return shortest;
}

void Watcher::Scan(Clock::time_point now) {
    for (auto& g : gates_) {
        if (now < g->notBefore || g->fired.load(std::memory_order_relaxed)) continue;
        const unsigned char c =
            std::atomic_ref<unsigned char>(*g->byte).load(std::memory_order_acquire);
        if (c != 0 && g->wanted.find(static_cast<char>(c)) != std::string::npos) g->owner->Fire(*g);
    }
}

void Watcher::Rouse() {
    // A counted ring: unlike a bare wake it cannot be lost before the thread sleeps.
    if (bell_) {
        bell_->Ring();
    } else {
        local_.fetch_add(1);
        futex::Wake(local_, 1, false);
    }
}

void Watcher::Run(const std::shared_ptr<Doorbell>& bell,
                  const std::shared_ptr<std::atomic<bool>>& stop) {
    Clock::time_point lastPeriodic{};
    for (;;) {
        // Read before the scan: a ring during the scan makes the wait return at once.
        const std::uint32_t seen = bell ? bell->Rings() : local_.load();
        Clock::time_point next;
        {
            std::lock_guard lock(mutex_);
            if (stop->load()) return;
            const auto now = Clock::now();
            Scan(now);
            const auto period = Period();
            // Rings do not shift the periodic scans, so they add nothing to the idle cost.
            if (now >= lastPeriodic + period) lastPeriodic = now;
            next = lastPeriodic + period;
        }
        if (bell)
            bell->Wait(seen, next);
        else
            futex::Wait(local_, seen, &next, false);
    }
}

bool Watcher::Add(const std::shared_ptr<Gate>& gate) {
    std::lock_guard lock(mutex_);
    const bool shorter = thread_.joinable() && gate->interval < Period();
    if (!thread_.joinable()) {
        auto stop = std::make_shared<std::atomic<bool>>(false);
        auto bell = Doorbell::Open();  // null: only the periodic scans
        try {
            thread_ = std::thread([this, bell, stop] { Run(bell, stop); });
        } catch (const std::system_error&) {
            return false;
        }
        stop_ = std::move(stop);
        bell_ = std::move(bell);
    }
    gates_.push_back(gate);
    if (shorter) Rouse();  // scan at the shorter period from now on
    return true;
}

void Watcher::Remove(const std::shared_ptr<Gate>& gate) {
    std::thread ending;
    {
        std::lock_guard lock(mutex_);
        std::erase(gates_, gate);
        if (!gates_.empty() || !thread_.joinable()) return;
        stop_->store(true);
        Rouse();
        ending = std::move(thread_);
        stop_.reset();
        bell_.reset();
    }
    ending.join();  // it holds the doorbell's block until it has gone
}

void Watcher::SetTestPeriod(std::chrono::milliseconds period) {
    std::lock_guard lock(mutex_);
    testPeriod_ = period;
    if (thread_.joinable()) Rouse();
}

void SetWatchPeriodForTesting(std::chrono::milliseconds period) {
    Watcher::Get().SetTestPeriod(period);
}

}  // namespace platform
