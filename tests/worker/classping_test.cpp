// SPDX-License-Identifier: MIT
// The ping worker in-process: each worker on an apartment of its own, the
// window's side of the slot opened here, the echo and MAC lookup faked where
// the case needs answers, silence, errors or a blocked echo.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "contract/CCShareString.h"
#include "contract/slot.h"
#include "echo/echo.h"
#include "platform/net/neighbour.h"
#include "platform/threads/apartment.h"
#include "platform/threads/doorbell.h"
#include "tests/support/isolation.h"
#include "worker/ClassPing.h"
#include "worker/Mac.h"

namespace {

using namespace worker;

using namespace std::chrono_literals;

// ---- the fake network ----
struct Fake {
    std::mutex mutex;
    std::condition_variable released;
    std::vector<std::string> pinged;
    std::vector<std::uint32_t> timeouts;           // each echo's
    std::map<std::string, std::string> answering;  // address -> MAC
    std::string blockOn;                           // echo to this address waits for Release
    bool open = false;
    std::string stateSeenDuringEcho;
    std::string stateSeenDuringLookup;
    CCShareString* window = nullptr;  // read during the echo and the lookup
} fakeNet;

bool FakePing(const std::string& address, std::uint32_t timeoutMs) {
    std::unique_lock lock(fakeNet.mutex);
    fakeNet.pinged.push_back(address);
    fakeNet.timeouts.push_back(timeoutMs);
    if (fakeNet.window) fakeNet.stateSeenDuringEcho = fakeNet.window->getStr(1, 1);
    if (std::count(address.begin(), address.end(), '.') > 3)
        throw echo::AddressError("too many parts");
    if (!fakeNet.blockOn.empty() && address == fakeNet.blockOn)
        fakeNet.released.wait_for(lock, 20s, [] { return fakeNet.open; });
    return fakeNet.answering.count(address) > 0;
}

std::string FakeMac(const std::string& address) {
    std::lock_guard lock(fakeNet.mutex);
    if (fakeNet.window) fakeNet.stateSeenDuringLookup = fakeNet.window->getStr(1, 1);
    return fakeNet.answering.at(address);
}

const worker::Net kFakeNet{&FakePing, &FakeMac};
// The real lookup, whose neighbour query a test fakes.
const worker::Net kRealLookupNet{&FakePing, &LookupMac};

class ClassPingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::lock_guard lock(fakeNet.mutex);
        fakeNet.pinged.clear();
        fakeNet.timeouts.clear();
        fakeNet.answering = {{"192.0.2.7", "02-00-00-00-00-07"},
                             {"192.0.2.9", "02-00-00-00-00-09"}};
        fakeNet.blockOn.clear();
        fakeNet.open = false;
        fakeNet.window = nullptr;
        worker::SetNetForTesting(&kFakeNet);
    }
    void TearDown() override {
        {
            std::lock_guard lock(fakeNet.mutex);
            fakeNet.window = nullptr;
            fakeNet.open = true;
        }
        fakeNet.released.notify_all();
        worker::SetNetForTesting(nullptr);
        platform::SetSendArpForTesting({});
    }
};

// A worker on its own apartment, and the window's side of its slot.
struct Worker {
    std::unique_ptr<platform::Apartment> apartment = std::make_unique<platform::Apartment>();
    std::unique_ptr<ClassPing> ping;
    CCShareString window;

    explicit Worker(int id) {
        apartment->Run([&] {
            ping = std::make_unique<ClassPing>();
            ping->Create(id);
        });
        EXPECT_TRUE(window.Create(slot::Name(id), slot::kSize));
    }
    ~Worker() {
        if (apartment) apartment->Run([&] { ping.reset(); });
    }
    void Command(const std::string& address, char c) {
        window.setStr(slot::AddressField(address), slot::kAddressPos);
        window.setStr(std::string(1, c), slot::kStatePos);
    }
    std::string State() { return window.getStr(slot::kStatePos, 1); }
    bool WaitState(const std::string& s) {
        return testsupport::WaitFor([&] { return State() == s; }, 10s);
    }
    std::string MacField() { return window.getStr(slot::kMacPos, slot::kMacLen); }
    // The state stays `s` for a few ticks.
    bool Stays(const std::string& s) {
        std::this_thread::sleep_for(250ms);
        return State() == s;
    }
};

TEST_F(ClassPingTest, CreateOpensTheThousandByteSlotWhichAFreshStateLeavesAlone) {
    Worker w(7);
    CCShareString probe;
    ASSERT_TRUE(probe.Create("PingIP7", 1));  // the existing block keeps its size
    EXPECT_EQ(probe.getStr(1000, 1), std::string(1, '\0'));
    EXPECT_EQ(probe.LastErr(), 0);
    EXPECT_EQ(probe.getStr(1001, 1), "");
    EXPECT_NE(probe.LastErr(), 0);
    ASSERT_NE(w.ping->Timer1(), nullptr);
    EXPECT_NE(w.ping->Timer1()->TimerId(), 0u);
    EXPECT_TRUE(w.Stays(std::string(1, '\0')));
    std::lock_guard lock(fakeNet.mutex);
    EXPECT_TRUE(fakeNet.pinged.empty());
}

TEST_F(ClassPingTest, CommandsEndInTheirFinalStateAndTheMacFieldIsKept) {
    Worker w(7);
    fakeNet.window = &w.window;
    // "M" to an answering host: busy during the echo, MAC, then "0".
    w.Command("192.0.2.7", 'M');
    ASSERT_TRUE(w.WaitState("0"));
    EXPECT_EQ(w.MacField(), "02-00-00-00-00-07");
    {
        std::lock_guard lock(fakeNet.mutex);
        EXPECT_EQ(fakeNet.pinged.back(), "192.0.2.7");
        EXPECT_EQ(fakeNet.stateSeenDuringEcho, "D");
        EXPECT_EQ(fakeNet.stateSeenDuringLookup, "D");  // the "0" comes after the MAC
    }
    // "P" to another answering host keeps the earlier MAC.
    w.Command("192.0.2.9", 'P');
    ASSERT_TRUE(w.WaitState("0"));
    EXPECT_EQ(w.MacField(), "02-00-00-00-00-07");
    // "M" to a silent host writes only "1".
    w.Command("192.0.2.200", 'M');
    ASSERT_TRUE(w.WaitState("1"));
    EXPECT_EQ(w.MacField(), "02-00-00-00-00-07");
    // A final state is left alone by later ticks.
    EXPECT_TRUE(w.Stays("1"));
    std::lock_guard lock(fakeNet.mutex);
    EXPECT_EQ(fakeNet.pinged.size(), 3u);
    EXPECT_EQ(fakeNet.timeouts, std::vector<std::uint32_t>(3, 200));
}

TEST_F(ClassPingTest, AnAnsweredMWhoseLookupFailsWritesTheZerosMac) {
    Worker w(8);
    w.Command("192.0.2.7", 'M');
    ASSERT_TRUE(w.WaitState("0"));
    ASSERT_EQ(w.MacField(), "02-00-00-00-00-07");
    platform::SetSendArpForTesting([](std::uint32_t, std::uint32_t, void*, std::uint32_t*) {
        return platform::kErrorBadNetName;
    });
    worker::SetNetForTesting(&kRealLookupNet);
    w.Command("192.0.2.7", 'M');
    ASSERT_TRUE(w.WaitState("0"));
    EXPECT_EQ(w.MacField(), "00-00-00-00-00-00");
}

TEST_F(ClassPingTest, AddressFieldIsCleanedOfSpacesAndZeroBytes) {
    Worker w(12);
    w.window.setStr(std::string(30, ' '), slot::kAddressPos);
    w.window.setStr(std::string(" 192.0", 6) + std::string(1, '\0') + ".2 .7", slot::kAddressPos);
    w.window.setStr("P", slot::kStatePos);
    ASSERT_TRUE(w.WaitState("0"));
    // Blank field: the empty text goes to the echo and the slot ends in "1".
    w.Command("", 'P');
    ASSERT_TRUE(w.WaitState("1"));
    std::lock_guard lock(fakeNet.mutex);
    ASSERT_EQ(fakeNet.pinged.size(), 2u);
    EXPECT_EQ(fakeNet.pinged[0], "192.0.2.7");
    EXPECT_EQ(fakeNet.pinged[1], "");
}

TEST_F(ClassPingTest, MalformedAddressEndsInOneAndTheWorkerGoesOnServing) {
    Worker w(3);
    w.Command("192.0.2.17.9", 'M');
    ASSERT_TRUE(w.WaitState("1"));
    EXPECT_EQ(w.MacField(), std::string(17, '\0'));
    w.Command("192.0.2.7", 'P');
    EXPECT_TRUE(w.WaitState("0"));
}

TEST_F(ClassPingTest, CloseAnswersXAndStopsUntilANewCreate) {
    Worker w(5);
    w.Command("192.0.2.7", 'A');
    ASSERT_TRUE(w.WaitState("X"));
    // Read on the worker's thread, once the tick that wrote "X" has ended.
    w.apartment->Run([&] { EXPECT_EQ(w.ping->Timer1()->TimerId(), 0u); });
    w.Command("192.0.2.7", 'P');
    platform::RingDoorbell();  // no later tick, rung or not
    EXPECT_TRUE(w.Stays("P"));
    // Created again with a time-out of its own, which its echoes then wait.
    w.apartment->Run([&] { w.ping->Create(5, 750); });
    EXPECT_TRUE(w.WaitState("0"));
    std::lock_guard lock(fakeNet.mutex);
    EXPECT_EQ(fakeNet.timeouts.back(), 750u);
}

TEST_F(ClassPingTest, StopItStopsTheTicksWithoutWriting) {
    Worker w(6);
    w.window.setStr("P", slot::kStatePos);  // no address yet: nothing may be read
    w.apartment->Run([&] { w.ping->StopIt(); });
    w.Command("192.0.2.7", 'P');
    platform::RingDoorbell();
    EXPECT_TRUE(w.Stays("P"));
    {
        std::lock_guard lock(fakeNet.mutex);
        EXPECT_TRUE(fakeNet.pinged.empty());
    }
    w.apartment->Run([&] { w.ping->Create(6); });
    EXPECT_TRUE(w.WaitState("0"));
    // StopIt before any Create is harmless; a number outside 1..255 changes nothing.
    ClassPing idle;
    idle.StopIt();
    for (int bad : {0, -1, 256}) EXPECT_THROW(idle.Create(bad), std::out_of_range) << bad;
    for (int bad : {49, 5001}) EXPECT_THROW(idle.Create(6, bad), std::out_of_range) << bad;
    EXPECT_EQ(idle.Timer1(), nullptr);
}

// With the periodic scans out of reach, only the doorbell gets a command
// taken: a worker blocked in its echo delays no other worker's pick-up, and a
// close written during that echo is overwritten by the echo's outcome.
TEST_F(ClassPingTest, BlockedEchoDelaysNoOtherWorkersPickUpAndACloseDuringItIsLost) {
    struct Restore {
        ~Restore() { platform::SetWatchPeriodForTesting(0ms); }
    } restore;
    platform::SetWatchPeriodForTesting(std::chrono::hours(1));
    Worker slow(20), fast(21);
    std::this_thread::sleep_for(100ms);  // past the first interval, before which no tick comes
    {
        std::lock_guard lock(fakeNet.mutex);
        fakeNet.blockOn = "192.0.2.200";
    }
    slow.Command("192.0.2.200", 'P');
    platform::RingDoorbell();
    ASSERT_TRUE(slow.WaitState("D"));
    for (int i = 0; i < 3; ++i) {
        fast.Command("192.0.2.9", 'P');
        platform::RingDoorbell();
        ASSERT_TRUE(fast.WaitState("0"));
        fast.window.setStr("-", slot::kStatePos);
    }
    EXPECT_EQ(slow.State(), "D");
    slow.window.setStr("A", slot::kStatePos);
    platform::RingDoorbell();  // its tick waits behind the echo, then finds the outcome
    {
        std::lock_guard lock(fakeNet.mutex);
        fakeNet.open = true;
    }
    fakeNet.released.notify_all();
    EXPECT_TRUE(slow.WaitState("1"));
    // The worker still serves; a command whose ring was lost is taken by the next scan.
    platform::SetWatchPeriodForTesting(0ms);
    slow.Command("192.0.2.7", 'P');
    EXPECT_TRUE(slow.WaitState("0"));
}

}  // namespace
