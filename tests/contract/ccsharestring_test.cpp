// SPDX-License-Identifier: MIT
// The shared string block: Windows file-mapping semantics on files in a private tmpfs folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "contract/CCShareString.h"
#include "contract/slot.h"
#include "platform/process/session.h"
#include "platform/threads/shared_block.h"
#include "tests/support/children.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"

namespace {

using testsupport::InChild;

bool ShmExists(const std::string& name) {
    return std::filesystem::exists(testsupport::ShmPath(name));
}

std::string Zeros(std::size_t n) { return std::string(n, '\0'); }

TEST(CCShareString, CreateOpensNewAndExistingBlocksWithoutZeroingTheExistingOne) {
    CCShareString a, b;
    EXPECT_FALSE(a.Create(""));  // the empty name changes nothing
    EXPECT_EQ(a.LastErr(), 0);

    ASSERT_TRUE(a.Create("cc-basic", 1000));
    EXPECT_EQ(a.LastErr(), 0);
    EXPECT_EQ(a.getStr(1, 1), Zeros(1));
    a.setStr("ABCD", 1);
    ASSERT_TRUE(b.Create("cc-basic", 1000));
    EXPECT_EQ(b.LastErr(), 0);  // 183 never survives a successful Create
    EXPECT_EQ(b.getStr(1, 4), "ABCD");

    b.setStr("AB", 5);
    EXPECT_EQ(a.getStr(4, 4), std::string("DAB") + '\0');
}

TEST(CCShareString, DefaultSizeIs30000AndAccessOutsideTheBlockIsRefused) {
    CCShareString s;
    ASSERT_TRUE(s.Create("cc-default"));
    EXPECT_EQ(s.getStr(30000, 1), Zeros(1));
    EXPECT_EQ(s.LastErr(), 0);

    EXPECT_EQ(s.getStr(30000, 2), "");
    EXPECT_EQ(s.LastErr(), 87);
    EXPECT_EQ(s.getStr(0, 1), "");
    EXPECT_EQ(s.getStr(1, -1), "");
    EXPECT_EQ(s.getStr(1, 0x7fffffff), "");
    s.setStr("xy", 29999);  // fits exactly
    EXPECT_EQ(s.getStr(29999, 2), "xy");
    s.setStr("xyz", 29999);
    EXPECT_EQ(s.LastErr(), 87);
    EXPECT_EQ(s.getStr(29999, 2), "xy");  // nothing of the refused write landed
    s.setStr("q", -5);
    EXPECT_EQ(s.LastErr(), 87);
}

TEST(CCShareString, WithoutAViewReadsAndWritesFailWith13) {
    CCShareString s;
    EXPECT_EQ(s.getStr(1, 1), "");
    EXPECT_EQ(s.LastErr(), 13);
    CCShareString t;
    t.setStr("A", 1);
    EXPECT_EQ(t.LastErr(), 13);

    CCShareString bad;
    EXPECT_FALSE(bad.Create("cc-zero-size", 0));
    EXPECT_EQ(bad.LastErr(), 87);
    EXPECT_EQ(bad.getStr(1, 1), "");
    EXPECT_EQ(bad.LastErr(), 13);
    EXPECT_FALSE(bad.Create("has/slash", 10));
    EXPECT_EQ(bad.LastErr(), 123);
    // A size no slot needs would reserve memory for a peer: refused at once.
    EXPECT_FALSE(bad.Create("cc-huge", 0x7fffffff));
    EXPECT_EQ(bad.LastErr(), 8);
    EXPECT_FALSE(ShmExists("cc-huge"));
}

TEST(CCShareString, BlockDisappearsWithItsLastHolderAndComesBackZeroed) {
    {
        CCShareString a, b;
        ASSERT_TRUE(a.Create("cc-life", 100));
        ASSERT_TRUE(b.Create("cc-life", 100));
        a.setStr("hello", 1);
        a.~CCShareString();
        new (&a) CCShareString();  // a gone; b still holds the block
        EXPECT_TRUE(ShmExists("cc-life"));
        CCShareString c;
        ASSERT_TRUE(c.Create("cc-life", 100));
        EXPECT_EQ(c.getStr(1, 5), "hello");
    }
    EXPECT_FALSE(ShmExists("cc-life"));
    CCShareString d;
    ASSERT_TRUE(d.Create("cc-life", 100));
    EXPECT_EQ(d.getStr(1, 100), Zeros(100));
}

TEST(CCShareString, SecondCreateReleasesTheEarlierBlock) {
    CCShareString s;
    ASSERT_TRUE(s.Create("cc-first", 10));
    EXPECT_TRUE(ShmExists("cc-first"));
    ASSERT_TRUE(s.Create("cc-second", 10));
    EXPECT_FALSE(ShmExists("cc-first"));
}

TEST(CCShareString, ASmallerOpenerSeesTheWholeBlockAndALargerOneGrowsIt) {
    CCShareString big, small, bigger;
    ASSERT_TRUE(big.Create("cc-sizes", 1000));
    ASSERT_TRUE(small.Create("cc-sizes", 10));
    EXPECT_EQ(small.getStr(1000, 1), Zeros(1));  // mapped whole, as a view of length 0 does
    ASSERT_TRUE(bigger.Create("cc-sizes", 2000));
    bigger.setStr("Z", 2000);
    EXPECT_EQ(bigger.getStr(2000, 1), "Z");
}

TEST(CCShareString, TwoProcessesShareTheBytes) {
    CCShareString parent;
    ASSERT_TRUE(parent.Create("cc-fork", slot::kSize));
    parent.setStr("from parent", 2);
    int rc = InChild([] {
        CCShareString child;
        if (!child.Create("cc-fork", slot::kSize)) return 1;
        if (child.getStr(2, 11) != "from parent") return 2;
        child.setStr("0", 1);
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(parent.getStr(1, 1), "0");
}

TEST(CCShareString, AHolderKilledOutrightLeavesNoStaleContent) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = testsupport::Fork([&] {
        CCShareString s;
        s.Create("cc-killed", 100);
        s.setStr("stale", 1);
        char c = 1;
        (void)!::write(ready[1], &c, 1);
        ::pause();
        return 0;
    });
    ASSERT_GT(pid, 0);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    testsupport::End(pid);
    ::close(ready[0]);
    ::close(ready[1]);

    CCShareString s;
    ASSERT_TRUE(s.Create("cc-killed", 100));
    EXPECT_EQ(s.getStr(1, 5), Zeros(5));
    s.~CCShareString();
    new (&s) CCShareString();
    EXPECT_FALSE(ShmExists("cc-killed"));
}

TEST(CCShareString, FilesOfAnotherUserOrOpenToOthersAreRefused) {
    // (No other user can make one in the session's folder: tests/sweep/ping_test.cpp.)
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
    CCShareString s;
    // A file there of another user (only root could put it there), or open to
    // others, would name our slots to them all the same.
    for (const char* name : {"cc-foreign", "cc-open"}) {
        const std::string file = platform::FileMapping::Path(name);
        int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        const bool made = std::string(name) == "cc-open" ? ::fchmod(fd, 0666) == 0
                                                         : ::fchown(fd, 65534, 65534) == 0;
        ::close(fd);
        if (!made) continue;  // a user namespace without that user
        EXPECT_FALSE(s.Create(name, 100));
        EXPECT_EQ(s.LastErr(), 5);
        ::unlink(file.c_str());
    }
}

TEST(CCShareString, ARecordedFolderAnotherUserTookIsReplacedByANewOne) {
    // After a reboot the folder's name, which /dev/shm showed to everyone, may
    // have been made by another user first.
    const std::string record = platform::SessionDir() + "/blocks.folder";
    platform::FileMapping::Path("cc-moved");  // the folder is found (or made) on first use
    if (::geteuid() != 0 || !std::filesystem::exists(record))
        GTEST_SKIP() << "needs root and a session whose blocks live under /dev/shm";
    const std::string saved = testsupport::ReadText(record);
    char leaf[17];
    std::snprintf(leaf, sizeof leaf, "%016x", static_cast<unsigned>(::getpid()));
    const std::string taken = std::string("/dev/shm/varnex-") + leaf;
    ASSERT_EQ(::mkdir(taken.c_str(), 0700), 0);
    if (::chown(taken.c_str(), 65534, 65534) != 0) {
        ::rmdir(taken.c_str());
        GTEST_SKIP() << "cannot give a folder to another user here";
    }
    testsupport::WriteText(record, leaf);
    // A new process of the session (a forked one opens the folder afresh).
    int rc = InChild([&] {
        CCShareString s;
        if (!s.Create("cc-moved", 10)) return 1;
        const std::string path = platform::FileMapping::Path("cc-moved");
        return path.rfind(taken, 0) != 0 && path.rfind("/dev/shm/varnex-", 0) == 0 ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_NE(testsupport::ReadText(record), leaf);
    testsupport::WriteText(record, saved);
    ::rmdir(taken.c_str());
}

TEST(CCShareString, TheSessionsBlocksStayWithinTheirBudget) {
    constexpr std::int32_t kMiB = 1024 * 1024;
    auto big = std::make_unique<CCShareString[]>(3);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(big[i].Create("cc-big" + std::to_string(i), 16 * kMiB));
    CCShareString grown, one;
    ASSERT_TRUE(grown.Create("cc-grown", 12 * kMiB));
    EXPECT_FALSE(one.Create("cc-one", 5 * kMiB));
    EXPECT_EQ(one.LastErr(), 8);
    EXPECT_TRUE(one.Create("cc-grown", 16 * kMiB));  // grown to the budget's last page
    EXPECT_FALSE(one.Create("cc-one", 1));
    EXPECT_EQ(one.LastErr(), 8);
    big.reset();
    EXPECT_TRUE(one.Create("cc-one", 1));
}

TEST(CCShareString, ManyProcessesOpeningAndClosingLeaveNoOrphan) {
    constexpr int kProcs = 4, kCycles = 3000;
    pid_t pids[kProcs];
    for (pid_t& pid : pids) {
        pid = testsupport::Fork([] {
            for (int i = 0; i < kCycles; ++i) {
                std::uint32_t err = 0;
                auto m = platform::FileMapping::Create("cc-churn", 64, err);
                if (!m) return 1;
                unsigned char* v = m->MapView(err);
                if (!v) return 2;
                // Another process may write between our Create and our read, so
                // only the name's lifetime is checked here.
                v[0] = 1;
            }
            return 0;
        });
    }
    for (pid_t pid : pids) EXPECT_EQ(pid > 0 ? testsupport::Wait(pid).value_or(-1) : -1, 0);
    EXPECT_FALSE(ShmExists("cc-churn"));
}

TEST(Slot, NamesStatesAndAddressField) {
    EXPECT_EQ(slot::Name(7), "PingIP7");
    EXPECT_EQ(slot::Name(255), "PingIP255");
    EXPECT_EQ(slot::AddressField("192.168.1.7"), "192.168.1.7" + std::string(19, ' '));
    EXPECT_EQ(slot::AddressField(std::string(40, '9')), std::string(30, '9'));
    const std::pair<char, int> states[] = {{'D', 1}, {'X', 2}, {'0', 3},  {'1', 4}, {'P', 5},
                                           {'A', 6}, {'M', 7}, {'\0', 0}, {'2', 0}, {'p', 0}};
    for (auto [c, n] : states) EXPECT_EQ(slot::StateNumber(c), n) << c;
}

TEST(Slot, CommandAndAnswerKeepTheirOrderAcrossProcesses) {
    // The window writes the address before the command; a worker in another process
    // that sees the command sees the whole address, and the MAC before the "0".
    constexpr int kRounds = 2000;
    CCShareString window;
    ASSERT_TRUE(window.Create(slot::Name(9), slot::kSize));
    pid_t pid = testsupport::Fork([] {
        CCShareString worker;
        if (!worker.Create(slot::Name(9), slot::kSize)) return 1;
        for (int round = 0; round < kRounds; ++round) {
            while (worker.ReadByte(slot::kStatePos) != slot::kPing) {
            }
            worker.WriteByte(slot::kBusy, slot::kStatePos);
            std::string a = worker.getStr(slot::kAddressPos, slot::kAddressLen);
            if (a != slot::AddressField("10.0." + std::to_string(round) + ".1")) return 2;
            worker.setStr("AA-BB-CC-DD-EE-" + std::to_string(10 + round % 90), slot::kMacPos);
            worker.WriteByte(slot::kAnswered, slot::kStatePos);
        }
        return 0;
    });
    ASSERT_GT(pid, 0);
    bool ok = true;
    for (int round = 0; round < kRounds && ok; ++round) {
        window.setStr(slot::AddressField("10.0." + std::to_string(round) + ".1"),
                      slot::kAddressPos);
        window.WriteByte(slot::kPing, slot::kStatePos);
        while (window.ReadByte(slot::kStatePos) != slot::kAnswered) {
        }
        ok = window.getStr(slot::kMacPos, slot::kMacLen) ==
             "AA-BB-CC-DD-EE-" + std::to_string(10 + round % 90);
    }
    EXPECT_TRUE(ok);
    if (ok)
        EXPECT_EQ(testsupport::Wait(pid), 0);
    else
        testsupport::End(pid);
}

}  // namespace
