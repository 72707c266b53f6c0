// SPDX-License-Identifier: MIT
// The window's proxy against a real Morvel: slot traffic, the worker's answers
// over loopback and on the test LAN, 255 proxies at once, a second client
// sharing the slots, and what a dead client or a dead Morvel leads to.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "contract/CCShareString.h"
#include "contract/classes.h"
#include "contract/slot.h"
#include "platform/objects/objects.h"
#include "platform/process/process.h"
#include "platform/process/session.h"
#include "platform/threads/doorbell.h"
#include "platform/threads/shared_block.h"
#include "sweep/Ping.h"
#include "tests/support/children.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"
#include "tests/support/testnet.h"

extern char** environ;

namespace {

using namespace sweep;

using namespace std::chrono_literals;
using namespace std::string_literals;
using platform::objects::ObjectError;
using testsupport::TestLan;

std::vector<pid_t> MorvelPids() { return testsupport::OwnMorvels(); }

bool NoMorvel() {
    return testsupport::WaitFor([] { return MorvelPids().empty(); }, 20s);
}

std::size_t Descriptors(pid_t pid) {
    using It = std::filesystem::directory_iterator;
    return static_cast<std::size_t>(
        std::distance(It("/proc/" + std::to_string(pid) + "/fd"), It()));
}

void Register() {
    auto started = testsupport::Spawn(platform::ProgramDir() + "/Morvel", {"/regsver"});
    ASSERT_TRUE(started.ok());
    EXPECT_EQ(testsupport::Wait(started.pid, 20s), std::optional<int>(0));
}

// ---- a second client process: this binary re-run on the disabled case below ----

struct ChildClient {
    pid_t pid = -1;
    std::string ready;
};

// `runtime`: the child's XDG_RUNTIME_DIR, by default ours (the same session).
ChildClient StartChild(const std::string& mode, std::string runtime = "") {
    if (runtime.empty()) runtime = std::getenv("XDG_RUNTIME_DIR");
    ChildClient c;
    c.ready = testsupport::MakeTempDir("child") + "/ready";
    testsupport::SpawnOptions options;
    for (char** e = environ; *e; ++e) options.env.emplace_back(*e);
    options.env.push_back("VARNEX_CHILD_MODE=" + mode);
    options.env.push_back("VARNEX_CHILD_READY=" + c.ready);
    options.env.push_back("VARNEX_CHILD_RUNTIME=" + runtime);
    options.env.push_back("VARNEX_CHILD_DATA="s + std::getenv("XDG_DATA_HOME"));
    auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    c.pid =
        testsupport::Spawn(
            self, {"--gtest_filter=DISABLED_Child.Run", "--gtest_also_run_disabled_tests"}, options)
            .pid;
    return c;
}

bool WaitReady(const ChildClient& c) {
    return testsupport::WaitFor([&] { return std::filesystem::exists(c.ready); }, 60s);
}

std::set<int> Round(std::vector<std::unique_ptr<Ping>>& pings, const std::string& subnet);

// The child's side: joins the parent's session and acts as a second window.
TEST(DISABLED_Child, Run) {
    const char* mode = std::getenv("VARNEX_CHILD_MODE");
    if (!mode) GTEST_SKIP() << "only run as a child of another test";
    ::setenv("XDG_RUNTIME_DIR", std::getenv("VARNEX_CHILD_RUNTIME"), 1);
    ::setenv("XDG_DATA_HOME", std::getenv("VARNEX_CHILD_DATA"), 1);
    const std::string ready = std::getenv("VARNEX_CHILD_READY");
    if (std::string(mode) == "share") {
        // A command into the parent's slot, and one into a slot of its own.
        Ping p, own;
        p.SetID(7);
        own.SetID(8);
        p.PingIP("127.0.0.9", false);
        own.PingIP("127.0.0.8", false);
        ASSERT_TRUE(testsupport::WaitFor([&] { return p.GetPing() == 3; }, 20s));
        ASSERT_TRUE(testsupport::WaitFor([&] { return own.GetPing() == 3; }, 20s));
        std::ofstream(ready) << "ready\n";
        return;
    }
    if (std::string(mode) == "sweep") {
        std::vector<std::unique_ptr<Ping>> pings;
        for (int i = 1; i <= 255; ++i) {
            pings.push_back(std::make_unique<Ping>());
            pings.back()->SetID(i);
        }
        std::ofstream(ready) << Round(pings, "127.0.0").size() << "\n";
        return;
    }
    if (std::string(mode) == "squat") {
        std::ofstream(ready) << "ready\n";
        const int rc = testsupport::InChild([] {
            if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                ::setresuid(65534, 65534, 65534) != 0)
                return 77;
            std::vector<std::string> claimed;
            while (::access("/dev/shm/stop", F_OK) != 0) {
                DIR* d = ::opendir("/dev/shm");
                while (const dirent* e = d ? ::readdir(d) : nullptr) {
                    // In a folder of ours, and beside a name of ours ("prefix.PingIP1").
                    const std::string entry = std::string("/dev/shm/") + e->d_name;
                    if (entry.find("varnex") == std::string::npos) continue;
                    const std::string beside = entry.substr(0, entry.rfind('.') + 1);
                    for (int n = 1; n <= 255; ++n) {
                        const std::string slot = "PingIP" + std::to_string(n);
                        for (const std::string& f : {entry + "/" + slot, entry + "/b." + slot,
                                                     beside.size() > 9 ? beside + slot : ""}) {
                            int fd = ::open(f.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
                            if (fd >= 0) claimed.push_back(f);
                            if (fd >= 0) ::close(fd);
                        }
                    }
                }
                if (d) ::closedir(d);
                ::usleep(500);
            }
            for (const std::string& f : claimed) ::unlink(f.c_str());
            return claimed.empty() ? 0 : 1;
        });
        std::ofstream(ready) << rc << "\n";
        return;
    }
    if (std::string(mode) == "hog") {
        // A client that asks for every object it can, each with a 16 MiB block.
        std::vector<std::unique_ptr<platform::objects::Ref>> objects;
        int big = 0;
        try {
            for (int i = 0; i < 2048; ++i) {
                objects.push_back(platform::objects::CreateObject(morvel::kCCShareStringClsid,
                                                                  morvel::kCCShareStringIid));
                std::vector<platform::objects::Arg> open{"Hog" + std::to_string(i), 16 << 20};
                big += objects.back()->Call(morvel::CCShareStringMember::Create, open) ==
                       platform::objects::Arg(true);
            }
        } catch (const ObjectError&) {
        }
        std::ofstream(ready) << objects.size() << " " << big << "\n";
        std::this_thread::sleep_for(60s);  // until killed
        return;
    }
    std::vector<std::unique_ptr<Ping>> held;
    for (int i = 1; i <= 3; ++i) {
        held.push_back(std::make_unique<Ping>());
        held.back()->SetID(i);
    }
    std::ofstream(ready) << "ready\n";
    std::this_thread::sleep_for(60s);  // until killed
}

class PingTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { Register(); }

    static bool WaitFinal(Ping& p, std::int32_t want) {
        return testsupport::WaitFor(
                   [&] {
                       auto s = p.GetPing();
                       return s == slot::kStateAnswered || s == slot::kStateSilent ? s == want
                                                                                   : false;
                   },
                   10s) &&
               p.GetPing() == want;
    }
    static bool Stays(Ping& p, std::int32_t want) {
        std::this_thread::sleep_for(250ms);
        return p.GetPing() == want;
    }
};

TEST_F(PingTest, SetIdOpensTheWorkersThousandByteSlot) {
    Ping p;
    EXPECT_EQ(p.ID(), 0);
    EXPECT_EQ(p.GetPing(), 0);  // no slot yet
    EXPECT_THROW(p.PingIP("127.0.0.7", false), ObjectError);
    p.SetID(7);
    EXPECT_EQ(p.ID(), 7);
    CCShareString probe;
    ASSERT_TRUE(probe.Create("PingIP7", 1));
    EXPECT_EQ(probe.getStr(1000, 1), std::string(1, '\0'));
    EXPECT_EQ(probe.getStr(1001, 1), "");
    EXPECT_EQ(p.GetPing(), 0);  // fresh slot
    p.GetMac();
    EXPECT_EQ(p.Mac, "");
    EXPECT_EQ(p.color, Value());
    EXPECT_FALSE(p.Pinging);
    EXPECT_EQ(p.OKCount, 0);
}

TEST_F(PingTest, CommandsWriteTheAddressFieldAndEndInAFinalState) {
    Ping p;
    p.SetID(7);
    CCShareString probe;
    ASSERT_TRUE(probe.Create("PingIP7", 1000));
    // Each command and close rings the session's doorbell after its byte.
    auto bell = platform::Doorbell::Open();
    ASSERT_NE(bell, nullptr);
    auto rings = bell->Rings();
    p.PingIP("127.0.0.7", false);
    EXPECT_NE(bell->Rings(), rings);
    EXPECT_EQ(probe.getStr(2, 30), "127.0.0.7" + std::string(21, ' '));
    EXPECT_TRUE(WaitFinal(p, 3));
    // Cut to 30: the worker pings what is left without the spaces.
    p.PingIP("127.0.0.8" + std::string(21, ' ') + "9.9.9.9", true);
    EXPECT_EQ(probe.getStr(2, 30), "127.0.0.8" + std::string(21, ' '));
    EXPECT_TRUE(WaitFinal(p, 3));
    // A malformed address ends in 4 and the worker takes the next command.
    p.PingIP("127.0.0.1.5", false);
    EXPECT_TRUE(WaitFinal(p, 4));
    p.PingIP("127.0.0.9", false);
    EXPECT_TRUE(WaitFinal(p, 3));
}

TEST_F(PingTest, StateCharactersMapToTheirNumbers) {
    Ping p;
    p.SetID(9);
    CCShareString probe;
    ASSERT_TRUE(probe.Create("PingIP9", 1000));
    // Characters the worker leaves alone.
    const std::pair<char, int> cases[] = {{'0', 3}, {'1', 4}, {'D', 1}, {'X', 2},
                                          {'a', 0}, {'7', 0}, {'p', 0}, {'\0', 0}};
    for (auto [c, n] : cases) {
        probe.setStr(std::string(1, c), 1);
        EXPECT_EQ(p.GetPing(), n) << c;
    }
    // Close: "A" (6) becomes "X" (2); later commands stay (5 and 7), a close too.
    auto bell = platform::Doorbell::Open();
    ASSERT_NE(bell, nullptr);
    auto rings = bell->Rings();
    p.ClosePing();
    EXPECT_NE(bell->Rings(), rings);
    EXPECT_TRUE(testsupport::WaitFor([&] { return p.GetPing() == 2; }));
    p.PingIP("127.0.0.9", false);
    EXPECT_TRUE(Stays(p, 5));
    p.PingIP("127.0.0.9", true);
    EXPECT_TRUE(Stays(p, 7));
    // Started again, the worker takes the command waiting in its slot.
    p.RestartWorker();
    EXPECT_TRUE(WaitFinal(p, 3));
    p.ClosePing();
    EXPECT_TRUE(testsupport::WaitFor([&] { return p.GetPing() == 2; }));
    p.ClosePing();
    EXPECT_TRUE(Stays(p, 6));
    // Setting the ID again restarts the worker.
    p.SetID(9);
    p.PingIP("127.0.0.9", false);
    EXPECT_TRUE(WaitFinal(p, 3));
}

TEST_F(PingTest, MacOfAnAnsweringTestHostAndSilence) {
    std::string why;
    if (!TestLan::Usable(&why)) GTEST_SKIP() << why;
    TestLan lan({7});
    Ping p;
    p.SetID(7);
    p.PingIP(TestLan::Address(7), true);
    ASSERT_TRUE(WaitFinal(p, 3));
    p.GetMac();
    EXPECT_EQ(p.Mac, TestLan::Mac(7));
    // A silent host: 4, the MAC field keeps the earlier answer.
    p.PingIP(TestLan::Address(8), true);
    EXPECT_TRUE(WaitFinal(p, 4));
    p.GetMac();
    EXPECT_EQ(p.Mac, TestLan::Mac(7));
    // "P" after the answered "M" keeps it as well.
    p.PingIP(TestLan::Address(7), false);
    EXPECT_TRUE(WaitFinal(p, 3));
    p.GetMac();
    EXPECT_EQ(p.Mac, TestLan::Mac(7));
}

// One round of 255 proxies, polled as the window polls.
std::set<int> Round(std::vector<std::unique_ptr<Ping>>& pings, const std::string& subnet) {
    for (int i = 1; i <= 255; ++i) {
        pings[i - 1]->PingIP(subnet + "." + std::to_string(i), false);
        pings[i - 1]->Pinging = true;
    }
    std::set<int> answered;
    auto end = std::chrono::steady_clock::now() + 60s;
    for (bool outstanding = true; outstanding && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(50ms);
        outstanding = false;
        for (int i = 1; i <= 255; ++i) {
            Ping& p = *pings[i - 1];
            if (!p.Pinging) continue;
            auto s = p.GetPing();
            if (s == 3 || s == 4) {
                p.Pinging = false;
                if (s == 3) answered.insert(i);
            } else {
                outstanding = true;
            }
        }
    }
    for (auto& p : pings) EXPECT_FALSE(p->Pinging) << "host " << p->ID() << " never finished";
    return answered;
}

TEST_F(PingTest, TwoHundredFiftyFiveProxiesAtOnce) {
    const std::size_t before = Descriptors(::getpid());
    std::vector<std::unique_ptr<Ping>> pings;
    for (int i = 1; i <= 255; ++i) {
        pings.push_back(std::make_unique<Ping>());
        pings.back()->SetID(i);
    }
    // One descriptor per slot in each process, though Morvel holds each slot
    // twice (the worker and the slot object).
    EXPECT_LE(Descriptors(MorvelPids().at(0)), 255u + 24);
    EXPECT_LE(Descriptors(::getpid()) - before, 255u + 8);
    auto all = Round(pings, "127.0.0");
    EXPECT_EQ(all.size(), 255u);

    std::string why;
    if (!TestLan::Usable(&why)) GTEST_SKIP() << why;
    std::set<int> answering = TestLan::Range(1, 20);
    for (int i = 100; i < 120; ++i) answering.insert(i);
    TestLan lan(answering);
    auto expected = answering;
    expected.insert(TestLan::kScannerHost);  // our own side of the LAN answers too
    EXPECT_EQ(Round(pings, TestLan::kSubnet), expected);
}

TEST_F(PingTest, TwoWindowsAndAScriptSweepUnderADescriptorLimitOf1024) {
    // Morvel's 1530 objects share the 255 slots' blocks; up to 255 echo
    // sockets come on top of them. The limit, soft and hard, is set in a child
    // (a hard limit cannot always be raised again), and inherited by the
    // Morvel it starts and by the other two clients.
    ASSERT_TRUE(NoMorvel());
    int rc = testsupport::InChild([] {
        rlimit lim{1024, 1024};
        if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) return 77;
        std::vector<std::unique_ptr<Ping>> pings;
        try {
            for (int i = 1; i <= 255; ++i) {
                pings.push_back(std::make_unique<Ping>());
                pings.back()->SetID(i);
            }
        } catch (const ObjectError& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return 1;
        }
        auto window = StartChild("sweep");
        auto script = StartChild("sweep");
        bool ok = Round(pings, "127.0.0").size() == 255u;
        for (const auto& child : {window, script})
            ok = testsupport::Wait(child.pid, 120s) == std::optional<int>(0) &&
                 testsupport::ReadText(child.ready) == "255\n" && ok;
        return ok ? 0 : 2;
    });
    if (rc == 77) GTEST_SKIP() << "cannot set the descriptor limit here";
    EXPECT_EQ(rc, 0);
}

TEST_F(PingTest, AnotherUserWatchingShmAsASessionStartsStopsNothing) {
    // Another user polls /dev/shm and tries to claim every name of ours it
    // could derive (before, it took the slots' names within milliseconds),
    // while a client of a new session starts its Morvel and sweeps. In a
    // /dev/shm of their own (a mount namespace of this thread, which the
    // children share), so that only their names are there to claim.
    std::string why, squatter, victim;
    std::optional<int> victimCode;
    std::thread([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("varnex-shm", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) {
            why = std::string("cannot mount a /dev/shm of its own: ") + std::strerror(errno);
            return;
        }
        auto squat = StartChild("squat");
        if (!testsupport::WaitFor([&] { return testsupport::ReadText(squat.ready) == "ready\n"; },
                                  60s))
            return;
        const std::string session = testsupport::MakeTempDir("session");
        ::chmod(session.c_str(), 0700);
        auto sweep = StartChild("sweep", session);
        victimCode = testsupport::Wait(sweep.pid, 120s);
        victim = testsupport::ReadText(sweep.ready);
        ::close(::open("/dev/shm/stop", O_WRONLY | O_CREAT, 0644));
        testsupport::Wait(squat.pid, 30s);
        squatter = testsupport::ReadText(squat.ready);
    }).join();
    if (!why.empty()) GTEST_SKIP() << why;
    if (squatter == "77\n") GTEST_SKIP() << "cannot act as another user here";
    EXPECT_EQ(victimCode, std::optional<int>(0));
    EXPECT_EQ(victim, "255\n");
    EXPECT_EQ(squatter, "0\n") << "1: it claimed a name";
}

TEST_F(PingTest, EachWayASlotFailsToOpenSaysWhatFailed) {
    // The first failure of proxies for hosts from..to, all kept meanwhile.
    auto failure = [](std::int32_t from, std::int32_t to) {
        std::vector<std::unique_ptr<Ping>> pings;
        try {
            for (std::int32_t i = from; i <= to; ++i) {
                pings.push_back(std::make_unique<Ping>());
                pings.back()->SetID(i);
            }
        } catch (const ObjectError& e) {
            return std::string(e.what());
        }
        return std::string("opened");
    };
    // Out of space: the session's blocks already hold their whole budget.
    {
        CCShareString big[4];
        for (int i = 0; i < 4; ++i) big[i].Create("Big" + std::to_string(i), 16 << 20);
        EXPECT_NE(failure(1, 1).find("out of shared memory"), std::string::npos) << failure(1, 1);
    }
    EXPECT_EQ(failure(1, 1), "opened");
    // A file of another user in the slot's place (only root can put one in the
    // session's private folder), planted while Morvel runs: its start would
    // remove the file as a block nobody holds.
    if (::geteuid() == 0) {
        Ping running;
        running.SetID(9);
        const std::string path = platform::FileMapping::Path(slot::Name(3));
        ::close(::open(path.c_str(), O_RDWR | O_CREAT, 0600));
        if (::chown(path.c_str(), 65534, 65534) == 0) {  // not in a user namespace without it
            EXPECT_NE(failure(3, 3).find(path + " belongs to another user"), std::string::npos);
        }
        ::unlink(path.c_str());
    }
    // Out of descriptors: a client, and the Morvel it starts, with 64 of them.
    ASSERT_TRUE(NoMorvel());
    EXPECT_EQ(testsupport::InChild([&] {
                  rlimit lim{64, 64};
                  return ::setrlimit(RLIMIT_NOFILE, &lim) == 0 &&
                         failure(1, 255).find("out of file descriptors") != std::string::npos;
              }),
              1);
    EXPECT_TRUE(NoMorvel());
}

TEST_F(PingTest, AClientHoardingObjectsAndBlocksLeavesAWindowItsWorkers) {
    auto hog = StartChild("hog");
    ASSERT_TRUE(
        testsupport::WaitFor([&] { return !testsupport::ReadText(hog.ready).empty(); }, 60s));
    // Half of the server's objects, and of the session's block budget: two
    // 16 MiB blocks; every other one was error 8.
    EXPECT_EQ(testsupport::ReadText(hog.ready), "1024 2\n");
    std::vector<std::unique_ptr<Ping>> pings;
    for (int i = 1; i <= 255; ++i) {
        pings.push_back(std::make_unique<Ping>());
        ASSERT_NO_THROW(pings.back()->SetID(i)) << i;
    }
    EXPECT_EQ(Round(pings, "127.0.0").size(), 255u);
    testsupport::End(hog.pid);
}

TEST_F(PingTest, SecondClientProcessSharesTheSlots) {
    Ping p;
    p.SetID(7);
    p.PingIP("127.0.0.7", false);
    ASSERT_TRUE(WaitFinal(p, 3));
    auto child = StartChild("share");
    ASSERT_GT(child.pid, 0);
    // Both processes command their own slots meanwhile, and both are served.
    Ping mine;
    mine.SetID(6);
    do {
        mine.PingIP("127.0.0.6", false);
        ASSERT_TRUE(WaitFinal(mine, 3));
    } while (!std::filesystem::exists(child.ready) &&
             testsupport::Wait(child.pid, 0ms) == std::nullopt);
    ASSERT_TRUE(WaitReady(child));
    EXPECT_EQ(testsupport::Wait(child.pid, 20s), std::optional<int>(0));
    // The child's command is in our slot.
    CCShareString probe;
    ASSERT_TRUE(probe.Create("PingIP7", 1000));
    EXPECT_EQ(probe.getStr(2, 30), slot::AddressField("127.0.0.9"));
    EXPECT_EQ(p.GetPing(), 3);
}

TEST_F(PingTest, KilledClientReleasesEverythingAndMorvelExits) {
    ASSERT_TRUE(NoMorvel());
    auto child = StartChild("hold");
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(WaitReady(child));
    ASSERT_EQ(MorvelPids().size(), 1u);
    testsupport::End(child.pid);
    EXPECT_TRUE(NoMorvel());
}

TEST_F(PingTest, KilledMorvelEndsTheWaitWithAnError) {
    Ping p;
    p.SetID(5);
    auto pids = MorvelPids();
    ASSERT_EQ(pids.size(), 1u);
    testsupport::Signal(pids[0], SIGKILL);
    ASSERT_TRUE(NoMorvel());
    p.PingIP("127.0.0.5", false);
    std::string error;
    EXPECT_TRUE(testsupport::WaitFor(
        [&] {
            try {
                p.GetPing();
            } catch (const ObjectError& e) {
                error = e.what();
                return true;
            }
            return false;
        },
        20s));
    EXPECT_NE(error, "");
    // A new proxy starts a new Morvel.
    Ping q;
    q.SetID(6);
    q.PingIP("127.0.0.6", false);
    EXPECT_TRUE(WaitFinal(q, 3));
}

}  // namespace
