// SPDX-License-Identifier: MIT
#include "platform/threads/apartment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/threads/doorbell.h"
#include "tests/support/isolation.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::Apartment;

struct Tick {
    std::uintptr_t id;
    std::thread::id thread;
    Clock::time_point at;
    unsigned int msg;
    void* hwnd;
};

// Timer callbacks are plain function pointers, so what they see is collected here.
std::mutex ticksMutex;
std::vector<Tick> recordedTicks;
std::chrono::milliseconds handlerSleep{0};
std::uintptr_t killInHandler = 0;

void ResetTicks() {
    std::lock_guard lock(ticksMutex);
    recordedTicks.clear();
    handlerSleep = 0ms;
    killInHandler = 0;
}

std::vector<Tick> Ticks() {
    std::lock_guard lock(ticksMutex);
    return recordedTicks;
}

std::size_t TickCount(std::uintptr_t id) {
    std::size_t n = 0;
    for (const auto& t : Ticks())
        if (t.id == id) ++n;
    return n;
}

void Record(void* hwnd, unsigned int msg, std::uintptr_t id, std::uint32_t) {
    std::chrono::milliseconds sleep;
    std::uintptr_t kill;
    {
        std::lock_guard lock(ticksMutex);
        recordedTicks.push_back({id, std::this_thread::get_id(), Clock::now(), msg, hwnd});
        sleep = handlerSleep;
        kill = killInHandler;
        handlerSleep = 0ms;  // only the first tick runs long
    }
    if (kill == id) platform::KillTimer(nullptr, id);
    std::this_thread::sleep_for(sleep);
}

std::uintptr_t StartOn(Apartment& apt, std::uint32_t ms) {
    std::uintptr_t id = 0;
    apt.Run([&] { id = platform::SetTimer(nullptr, 0, ms, Record); });
    return id;
}

TEST(ApartmentTest, PostedCallsRunInOrderOnTheApartmentThread) {
    Apartment apt;
    EXPECT_FALSE(apt.IsCurrent());
    EXPECT_EQ(Apartment::Current(), nullptr);

    std::vector<int> order;
    std::atomic<bool> onThread{true};
    for (int i = 0; i < 100; ++i) {
        apt.Post([&, i] {
            if (!apt.IsCurrent() || Apartment::Current() != &apt) onThread = false;
            order.push_back(i);
        });
    }
    apt.Run([] {});
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_TRUE(onThread);
}

TEST(ApartmentTest, RunWaitsRethrowsAndRunsAtOnceOnItsOwnThread) {
    Apartment apt;
    int value = 0;
    apt.Run([&] { value = 7; });
    EXPECT_EQ(value, 7);

    EXPECT_THROW(apt.Run([] { throw std::logic_error("boom"); }), std::logic_error);

    // A nested Run on the apartment's own thread must not wait for itself.
    bool inner = false;
    apt.Run([&] { apt.Run([&] { inner = true; }); });
    EXPECT_TRUE(inner);
}

TEST(ApartmentTest, AThrowingPostedCallDoesNotStopTheLoop) {
    Apartment apt;
    apt.Post([] { throw std::runtime_error("ignored"); });
    bool ran = false;
    apt.Run([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(ApartmentTest, DestructionRunsCallsAlreadyPosted) {
    std::atomic<int> ran{0};
    {
        Apartment apt;
        apt.Post([] { std::this_thread::sleep_for(50ms); });
        for (int i = 0; i < 10; ++i) apt.Post([&] { ++ran; });
    }
    EXPECT_EQ(ran, 10);
}

TEST(ApartmentTest, ApartmentDestroyedByItsOwnCall) {
    auto apt = std::make_unique<Apartment>();
    std::atomic<bool> posted{false};
    std::atomic<bool> done{false};
    apt->Post([&] {
        while (!posted) std::this_thread::yield();  // Post has returned on the main thread
        apt.reset();
        done = true;
    });
    posted = true;
    EXPECT_TRUE(testsupport::WaitFor([&] { return done.load(); }));
}

TEST(ThreadTimerTest, RefusedOutsideAnApartmentOrWithBadArguments) {
    EXPECT_EQ(platform::SetTimer(nullptr, 0, 50, Record), 0u);
    EXPECT_FALSE(platform::KillTimer(nullptr, 1));

    Apartment apt;
    apt.Run([] {
        int window = 0;
        EXPECT_EQ(platform::SetTimer(&window, 0, 50, Record), 0u);
        EXPECT_EQ(platform::SetTimer(nullptr, 0, 0, Record), 0u);
        EXPECT_EQ(platform::SetTimer(nullptr, 0, 50, nullptr), 0u);
        EXPECT_FALSE(platform::KillTimer(nullptr, 0));
        EXPECT_FALSE(platform::KillTimer(nullptr, 987654));
    });
}

TEST(ThreadTimerTest, TicksAboutEveryIntervalOnlyOnTheOwningThread) {
    ResetTicks();
    Apartment apt;
    std::thread::id aptThread;
    apt.Run([&] { aptThread = std::this_thread::get_id(); });
    auto start = Clock::now();
    std::uintptr_t id = StartOn(apt, 50);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(testsupport::WaitFor([&] { return TickCount(id) >= 6; }));
    auto ticks = Ticks();
    // Tick k never comes before k+1 intervals have passed: no tick early, none doubled.
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        EXPECT_EQ(ticks[i].thread, aptThread);
        EXPECT_EQ(ticks[i].msg, platform::WM_TIMER);
        EXPECT_EQ(ticks[i].hwnd, nullptr);
        EXPECT_GE(ticks[i].at - start, 50ms * static_cast<int>(i + 1)) << "tick " << i;
    }
    // Another thread cannot stop it: the timer belongs to its apartment.
    Apartment other;
    bool killed = true;
    other.Run([&] { killed = platform::KillTimer(nullptr, id); });
    EXPECT_FALSE(killed);
    apt.Run([&] { EXPECT_TRUE(platform::KillTimer(nullptr, id)); });
}

TEST(ThreadTimerTest, IdsAreDistinctAndEachTickCarriesItsOwn) {
    ResetTicks();
    Apartment a, b;
    std::uintptr_t a1 = StartOn(a, 10), a2 = StartOn(a, 10), b1 = StartOn(b, 10);
    EXPECT_NE(a1, 0u);
    EXPECT_NE(a1, a2);
    EXPECT_NE(a1, b1);
    EXPECT_NE(a2, b1);
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return TickCount(a1) >= 3 && TickCount(a2) >= 3 && TickCount(b1) >= 3; }));
    std::thread::id aThread, bThread;
    a.Run([&] { aThread = std::this_thread::get_id(); });
    b.Run([&] { bThread = std::this_thread::get_id(); });
    for (const auto& t : Ticks()) {
        ASSERT_TRUE(t.id == a1 || t.id == a2 || t.id == b1);
        EXPECT_EQ(t.thread, t.id == b1 ? bThread : aThread);
    }
    a.Run([&] {
        platform::KillTimer(nullptr, a1);
        platform::KillTimer(nullptr, a2);
    });
    b.Run([&] { platform::KillTimer(nullptr, b1); });
}

TEST(ThreadTimerTest, NoBurstAfterALongHandlerOrABusyLoop) {
    ResetTicks();
    Apartment apt;
    {
        std::lock_guard lock(ticksMutex);
        handlerSleep = 300ms;  // the first tick overruns about 15 periods
    }
    std::uintptr_t id = StartOn(apt, 20);
    ASSERT_TRUE(testsupport::WaitFor([&] { return TickCount(id) >= 4; }));
    auto ticks = Ticks();
    // Missed ticks are not made up: tick k comes at least k intervals after the
    // long handler ended, not at once.
    for (std::size_t k = 1; k < ticks.size(); ++k)
        EXPECT_GE(ticks[k].at - ticks[0].at, 300ms + 20ms * static_cast<int>(k)) << "tick " << k;

    // A loop kept busy by a posted call owes at most one tick afterwards.
    ResetTicks();
    Clock::time_point busyEnd;
    apt.Run([&] {
        std::this_thread::sleep_for(300ms);
        busyEnd = Clock::now();
    });
    std::this_thread::sleep_for(80ms);
    std::size_t soon = 0;
    for (const auto& t : Ticks())
        if (t.at < busyEnd + 30ms) ++soon;
    EXPECT_GE(soon, 1u);  // the owed tick
    EXPECT_LE(soon, 2u);  // and at most one regular tick, never the 15 missed ones
    apt.Run([&] { platform::KillTimer(nullptr, id); });
}

TEST(ThreadTimerTest, KillTimerStopsTicks) {
    ResetTicks();
    Apartment apt;
    std::uintptr_t id = StartOn(apt, 10);
    ASSERT_TRUE(testsupport::WaitFor([&] { return TickCount(id) >= 2; }));
    bool killed = false;
    apt.Run([&] { killed = platform::KillTimer(nullptr, id); });
    EXPECT_TRUE(killed);
    std::size_t after = TickCount(id);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(TickCount(id), after);
    apt.Run([&] { EXPECT_FALSE(platform::KillTimer(nullptr, id)); });

    // Killed from inside its own handler: that tick was the last.
    ResetTicks();
    std::uintptr_t self = StartOn(apt, 10);
    {
        std::lock_guard lock(ticksMutex);
        killInHandler = self;
    }
    ASSERT_TRUE(testsupport::WaitFor([&] { return TickCount(self) >= 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(TickCount(self), 1u);
}

TEST(ThreadTimerTest, SetTimerWithARunningIdResetsThatTimer) {
    ResetTicks();
    Apartment apt;
    std::uintptr_t id = StartOn(apt, 10000);
    std::uintptr_t again = 0;
    apt.Run([&] { again = platform::SetTimer(nullptr, id, 10, Record); });
    EXPECT_EQ(again, id);
    EXPECT_TRUE(testsupport::WaitFor([&] { return TickCount(id) >= 2; }, 2s));
    apt.Run([&] { EXPECT_TRUE(platform::KillTimer(nullptr, id)); });
}

TEST(ThreadTimerTest, DestroyingTheApartmentStopsItsTimers) {
    ResetTicks();
    std::uintptr_t id;
    {
        Apartment apt;
        id = StartOn(apt, 5);
        ASSERT_TRUE(testsupport::WaitFor([&] { return TickCount(id) >= 1; }));
    }
    std::size_t after = TickCount(id);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(TickCount(id), after);
}

// A watched timer ticks only while its byte holds a wanted character: on a
// ring of the doorbell at once (with the periodic scans pushed out of reach),
// without one at the next scan; killing it ends the watch.
TEST(ThreadTimerTest, WatchedTimerTicksOnlyForAWantedByteOnARingOrAtTheNextScan) {
    ResetTicks();
    unsigned char byte = 0;
    auto set = [&](char c) {
        std::atomic_ref<unsigned char>(byte).store(static_cast<unsigned char>(c));
    };
    EXPECT_FALSE(platform::WatchTimer(1, &byte, "PA"));  // not on an apartment
    Apartment apt;
    std::uintptr_t id = StartOn(apt, 20);
    apt.Run([&] {
        EXPECT_FALSE(platform::WatchTimer(id + 1000, &byte, "PA"));
        EXPECT_TRUE(platform::WatchTimer(id, &byte, "PA"));
    });
    set('x');
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(TickCount(id), 0u);

    struct Restore {
        ~Restore() { platform::SetWatchPeriodForTesting(0ms); }
    } restore;
    platform::SetWatchPeriodForTesting(std::chrono::hours(1));
    std::this_thread::sleep_for(50ms);  // the watcher's last scan at the old period
    set('A');
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(TickCount(id), 0u) << "ticked without a ring or a scan";
    platform::RingDoorbell();
    EXPECT_TRUE(testsupport::WaitFor([&] { return TickCount(id) >= 1; }, 5s));
    set(0);

    platform::SetWatchPeriodForTesting(0ms);
    std::size_t before = TickCount(id);
    set('P');  // no ring: the scan finds it
    EXPECT_TRUE(testsupport::WaitFor([&] { return TickCount(id) > before; }, 5s));

    apt.Run([&] { EXPECT_TRUE(platform::KillTimer(nullptr, id)); });
    std::size_t after = TickCount(id);
    platform::RingDoorbell();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(TickCount(id), after);
    // Every tick ran on the apartment's own thread.
    for (const auto& t : Ticks()) EXPECT_NE(t.thread, std::this_thread::get_id());
}

}  // namespace
