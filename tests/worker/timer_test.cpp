// SPDX-License-Identifier: MIT
// The callback timer on real apartments: periods, the start/stop quirks the
// worker relies on, the per-apartment registry and safe destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/threads/apartment.h"
#include "tests/support/isolation.h"
#include "worker/MdTimer.h"
#include "worker/Timer.h"

namespace {

using namespace worker;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A Timer living on an apartment, with its tick times recorded.
struct Ticking {
    platform::Apartment apartment;
    std::unique_ptr<Timer> timer;
    std::mutex mutex;
    std::vector<Clock::time_point> ticks;

    Ticking() {
        apartment.Run([this] {
            timer = std::make_unique<Timer>();
            timer->OnTimer([this] {
                std::lock_guard lock(mutex);
                ticks.push_back(Clock::now());
            });
        });
    }
    ~Ticking() {
        apartment.Run([this] { timer.reset(); });
    }
    size_t Count() {
        std::lock_guard lock(mutex);
        return ticks.size();
    }
    bool WaitTicks(size_t n) {
        return testsupport::WaitFor([&] { return Count() >= n; }, 10s);
    }
    template <class F>
    auto On(F f) {
        decltype(f()) r{};
        apartment.Run([&] { r = f(); });
        return r;
    }
};

bool HasKey(platform::Apartment& a, std::uintptr_t id) {
    bool has = false;
    a.Run([&] { has = worker::TimerRegistry().count(worker::Key(id)) > 0; });
    return has;
}

TEST(TimerTest, FiftyMillisecondsGivesRegularEventsAndReadsEnabled) {
    Ticking t;
    EXPECT_TRUE(t.On([&] {
        t.timer->Interval(50);
        t.timer->Enabled(true);
        return t.timer->Enabled();
    }));
    ASSERT_TRUE(t.WaitTicks(6));
    std::lock_guard lock(t.mutex);
    auto span = t.ticks[5] - t.ticks[0];
    // Never faster than the period; the upper bound only catches a stuck timer.
    EXPECT_GE(span, 5 * 45ms);
    EXPECT_LT(span, 5 * 400ms);
}

TEST(TimerTest, EnablingARunningTimerKeepsItsPeriodAndReadsFalse) {
    Ticking t;
    auto id = t.On([&] {
        t.timer->Interval(50);
        t.timer->Enabled(true);
        return t.timer->TimerId();
    });
    ASSERT_NE(id, 0u);
    EXPECT_FALSE(t.On([&] {
        t.timer->Enabled(true);
        return t.timer->Enabled();
    }));
    // Still the same system timer, still ticking at the old period.
    EXPECT_EQ(t.On([&] { return t.timer->TimerId(); }), id);
    size_t before = t.Count();
    ASSERT_TRUE(t.WaitTicks(before + 3));

    // An Interval write with the flag set keeps the running timer and its period too.
    Ticking u;
    auto uid = u.On([&] {
        u.timer->Interval(50);
        u.timer->Enabled(true);
        u.timer->Interval(5000);
        return u.timer->TimerId();
    });
    EXPECT_NE(uid, 0u);
    EXPECT_FALSE(u.On([&] { return u.timer->Enabled(); }));
    ASSERT_TRUE(u.WaitTicks(3));  // would take 15 s at the new period
    {
        std::lock_guard lock(u.mutex);
        EXPECT_LT(u.ticks[2] - u.ticks[0], 2s);
    }
    // Running with the flag cleared, an Interval write stops the timer.
    EXPECT_EQ(u.On([&] {
        u.timer->Interval(50);
        return u.timer->TimerId();
    }),
              0u);
    size_t n = u.Count();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(u.Count(), n);
}

TEST(TimerTest, IdleTimerStartsOnlyWithAPositiveIntervalAndStops) {
    Ticking t;
    EXPECT_FALSE(t.On([&] {
        t.timer->Enabled(false);  // idle: nothing happens
        t.timer->Enabled(true);   // Interval 0: nothing starts
        t.timer->Interval(-5);
        return t.timer->StartTimer() || t.timer->Enabled();
    }));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(t.Count(), 0u);
    EXPECT_TRUE(t.On([] { return worker::TimerRegistry().empty(); }));
    auto id = t.On([&] {
        t.timer->Interval(10);
        t.timer->Enabled(true);
        return t.timer->TimerId();
    });
    ASSERT_TRUE(t.WaitTicks(1));
    t.On([&] {
        t.timer->Enabled(false);
        return 0;
    });
    EXPECT_FALSE(HasKey(t.apartment, id));
    size_t n = t.Count();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(t.Count(), n);
    // A stopped timer starts again with a new system timer.
    auto id2 = t.On([&] {
        t.timer->Enabled(true);
        return t.timer->TimerId();
    });
    EXPECT_NE(id2, 0u);
    EXPECT_TRUE(t.WaitTicks(n + 1));
}

TEST(TimerTest, DestroyingARunningTimerKillsItAndRemovesItsKey) {
    platform::Apartment a;
    std::atomic<int> ticks{0};
    std::unique_ptr<Timer> timer;
    std::uintptr_t id = 0;
    a.Run([&] {
        timer = std::make_unique<Timer>();
        timer->OnTimer([&] { ++ticks; });
        timer->Interval(10);
        timer->Enabled(true);
        id = timer->TimerId();
    });
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(HasKey(a, id));
    ASSERT_TRUE(testsupport::WaitFor([&] { return ticks >= 2; }));
    bool killed = true;
    a.Run([&] {
        timer.reset();
        killed = platform::KillTimer(nullptr, id);  // false: already gone
    });
    EXPECT_FALSE(killed);
    EXPECT_FALSE(HasKey(a, id));
    int n = ticks;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ticks, n);
}

TEST(TimerTest, TwoTimersOnOneThreadStayApart) {
    platform::Apartment a;
    std::atomic<int> fast{0}, slow{0};
    Timer* f = nullptr;
    Timer* s = nullptr;
    std::unique_ptr<Timer> tf, ts;
    a.Run([&] {
        tf = std::make_unique<Timer>();
        ts = std::make_unique<Timer>();
        f = tf.get();
        s = ts.get();
        tf->OnTimer([&] { ++fast; });
        ts->OnTimer([&] { ++slow; });
        tf->Interval(10);
        ts->Interval(200);
        tf->Enabled(true);
        ts->Enabled(true);
    });
    ASSERT_NE(f->TimerId(), s->TimerId());
    EXPECT_TRUE(HasKey(a, f->TimerId()));
    EXPECT_TRUE(HasKey(a, s->TimerId()));
    ASSERT_TRUE(testsupport::WaitFor([&] { return slow >= 2; }, 10s));
    EXPECT_GT(fast.load(), 2 * slow.load());
    // Stopping one leaves the other running.
    a.Run([&] { tf->Enabled(false); });
    int s0 = slow;
    EXPECT_TRUE(testsupport::WaitFor([&] { return slow > s0; }, 10s));
    a.Run([&] {
        tf.reset();
        ts.reset();
    });
}

TEST(TimerTest, RegistryIsPerApartment) {
    Ticking one, two;
    auto id = one.On([&] {
        one.timer->Interval(1000);
        one.timer->Enabled(true);
        return one.timer->TimerId();
    });
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(HasKey(one.apartment, id));
    EXPECT_FALSE(HasKey(two.apartment, id));
    // A tick id from another apartment is ignored there.
    two.apartment.Run([&] { worker::TimerProc(nullptr, platform::WM_TIMER, id, 0); });
    EXPECT_EQ(one.Count(), 0u);
    EXPECT_EQ(two.Count(), 0u);
}

TEST(TimerTest, HandlerMayStopOrDestroyItsOwnTimer) {
    platform::Apartment a;
    std::atomic<int> ticks{0};
    std::unique_ptr<Timer> stopper, doomed;
    std::atomic<bool> destroyed{false};
    a.Run([&] {
        stopper = std::make_unique<Timer>();
        stopper->OnTimer([&] {
            ++ticks;
            stopper->Enabled(false);
        });
        stopper->Interval(10);
        stopper->Enabled(true);
        doomed = std::make_unique<Timer>();
        doomed->OnTimer([&] {
            doomed.reset();
            destroyed = true;
        });
        doomed->Interval(10);
        doomed->Enabled(true);
    });
    ASSERT_TRUE(testsupport::WaitFor([&] { return ticks >= 1 && destroyed; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ticks, 1);
    a.Run([&] {
        EXPECT_TRUE(worker::TimerRegistry().empty());
        stopper.reset();
    });
}

}  // namespace
