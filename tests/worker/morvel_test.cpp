// SPDX-License-Identifier: MIT
// Morvel as a real process: its command line, its two classes reached through
// the object layer, and its end when the last object goes. The worker's slot
// traffic, dead clients and a dead Morvel are covered through the window's
// proxy (tests/sweep/ping_test.cpp).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "contract/CCShareString.h"
#include "contract/slot.h"
#include "platform/objects/objects.h"
#include "platform/process/process.h"
#include "platform/process/session.h"
#include "platform/threads/shared_block.h"
#include "tests/support/children.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"
#include "worker/adapters.h"

namespace {

using namespace worker;

using namespace std::chrono_literals;
using platform::objects::Arg;
using platform::objects::ObjectError;
using platform::objects::Ref;

std::string MorvelPath() { return platform::ProgramDir() + "/Morvel"; }

std::vector<pid_t> MorvelPids() { return testsupport::OwnMorvels(); }

bool NoMorvel() {
    return testsupport::WaitFor([] { return MorvelPids().empty(); }, 20s);
}

// Runs the program and returns its exit code and what it wrote to stderr.
std::pair<int, std::string> RunMorvel(const std::vector<std::string>& args) {
    const std::string err = testsupport::MakeTempDir("morvel") + "/err";
    testsupport::SpawnOptions options;
    options.streams = {"", "/dev/null", err};
    const int code = testsupport::Run(MorvelPath(), args, options);
    std::ifstream in(err);
    return {code, std::string((std::istreambuf_iterator<char>(in)), {})};
}

void Register() {
    auto [code, err] = RunMorvel({"/regsver"});
    ASSERT_EQ(code, 0) << err;
}

std::unique_ptr<Ref> NewWorker() {
    return platform::objects::CreateObject(morvel::kClassPingClsid, morvel::kClassPingIid);
}
std::unique_ptr<Ref> NewBlock() {
    return platform::objects::CreateObject(morvel::kCCShareStringClsid, morvel::kCCShareStringIid);
}

Arg Call(Ref& r, std::uint32_t member, std::vector<Arg> args = {}) { return r.Call(member, args); }

class MorvelTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { Register(); }
};

TEST_F(MorvelTest, CommandLineOtherThanItsTwoFormsIsExplainedAndRefused) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"/bogus"}, {"/regsver", "extra"}, {"-embedding"}}) {
        auto [code, err] = RunMorvel(args);
        EXPECT_NE(code, 0) << args.size();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << args.size() << ": " << err;
        EXPECT_NE(err.find("/regsver"), std::string::npos) << err;
    }
    EXPECT_EQ(RunMorvel({"/regsver"}).first, 0);
    EXPECT_TRUE(NoMorvel());  // registration does not stay to serve
}

TEST_F(MorvelTest, SharedBlockClassWorksAcrossTheProcessBoundary) {
    auto block = NewBlock();
    // The name comes back through the by-reference argument unchanged.
    std::vector<Arg> open{Arg(std::string("PingIP9")), Arg(1000)};
    EXPECT_EQ(block->Call(morvel::CCShareStringMember::Create, open), Arg(true));
    EXPECT_EQ(open[0], Arg(std::string("PingIP9")));
    EXPECT_EQ(Call(*block, morvel::CCShareStringMember::LastErr), Arg(0));
    Call(*block, morvel::CCShareStringMember::setStr, {Arg(std::string("AB")), Arg(5)});
    CCShareString mine;
    ASSERT_TRUE(mine.Create("PingIP9", 1000));
    EXPECT_EQ(mine.getStr(4, 4), std::string("\0AB\0", 4));
    mine.setStr("xyz", 10);
    EXPECT_EQ(Call(*block, morvel::CCShareStringMember::getStr, {Arg(10), Arg(3)}),
              Arg(std::string("xyz")));
    // StrLen omitted: 30000 bytes.
    auto big = NewBlock();
    EXPECT_EQ(Call(*big, morvel::CCShareStringMember::Create, {Arg(std::string("Big"))}),
              Arg(true));
    EXPECT_EQ(Call(*big, morvel::CCShareStringMember::getStr, {Arg(30000), Arg(1)}),
              Arg(std::string(1, '\0')));
    // Before Create: empty text and LastErr 13.
    auto fresh = NewBlock();
    EXPECT_EQ(Call(*fresh, morvel::CCShareStringMember::getStr, {Arg(1), Arg(1)}),
              Arg(std::string()));
    EXPECT_EQ(Call(*fresh, morvel::CCShareStringMember::LastErr), Arg(13));
}

TEST_F(MorvelTest, BadCallsAreRefusedWithAClearErrorAndTheObjectGoesOn) {
    auto block = NewBlock();
    auto worker = NewWorker();
    EXPECT_THROW(Call(*block, morvel::CCShareStringMember::getStr, {Arg(std::string("x")), Arg(1)}),
                 ObjectError);
    EXPECT_THROW(Call(*block, morvel::CCShareStringMember::setStr, {Arg(1)}), ObjectError);
    EXPECT_THROW(Call(*block, 99), ObjectError);
    EXPECT_THROW(Call(*worker, morvel::ClassPingMember::Create, {Arg(true)}), ObjectError);
    try {
        Call(*worker, morvel::ClassPingMember::Create, {Arg(256)});
        ADD_FAILURE() << "ID 256 accepted";
    } catch (const ObjectError& e) {
        EXPECT_NE(std::string(e.what()).find("256"), std::string::npos) << e.what();
    }
    // A read that no reply could carry is refused before its text is built.
    const auto kMax = static_cast<std::int32_t>(platform::kMaxBlockSize);
    EXPECT_EQ(
        Call(*block, morvel::CCShareStringMember::Create, {Arg(std::string("Big")), Arg(kMax)}),
        Arg(true));
    try {
        Call(*block, morvel::CCShareStringMember::getStr, {Arg(1), Arg(kMax)});
        ADD_FAILURE() << "a 16 MiB read accepted";
    } catch (const ObjectError& e) {
        EXPECT_NE(std::string(e.what()).find("too large"), std::string::npos) << e.what();
    }
    EXPECT_EQ(Call(*block, morvel::CCShareStringMember::getStr, {Arg(1), Arg(30000)}),
              Arg(std::string(30000, '\0')));
    EXPECT_EQ(Call(*block, morvel::CCShareStringMember::LastErr), Arg(0));
    // The window's echo object takes bounded data and time-outs only.
    auto echo = platform::objects::CreateObject(morvel::kClassEchoClsid, morvel::kClassEchoIid);
    const std::uint32_t send = morvel::ClassEchoMember::SendEcho;
    EXPECT_THROW(Call(*echo, send, {Arg(0x0100007f), Arg(std::string(251, 'x')), Arg(200)}),
                 ObjectError);
    EXPECT_THROW(Call(*echo, send, {Arg(0x0100007f), Arg(std::string("x")), Arg(5001)}),
                 ObjectError);
    EXPECT_EQ(Call(*echo, send, {Arg(0x0100007f), Arg(std::string("My Request")), Arg(200)}),
              Arg(std::string("My Request")));
    // A worker's echo time-out is bounded too; so is the subnet of an ARP probe.
    EXPECT_THROW(Call(*worker, morvel::ClassPingMember::Create, {Arg(12), Arg(49)}), ObjectError);
    auto arp = platform::objects::CreateObject(morvel::kClassArpClsid, morvel::kClassArpIid);
    for (std::int32_t bad : {-1, 1 << 24})
        EXPECT_THROW(Call(*arp, morvel::ClassArpMember::Probe, {Arg(bad)}), ObjectError) << bad;
    // Loopback is no link with neighbours: nobody to ask, nothing heard.
    EXPECT_EQ(Call(*arp, morvel::ClassArpMember::Probe, {Arg(127 << 16)}), Arg(0));
    EXPECT_EQ(Call(*arp, morvel::ClassArpMember::Replies), Arg(std::string()));
    // A text of digits is a host number too, as a Variant would be coerced.
    EXPECT_NO_THROW(Call(*worker, morvel::ClassPingMember::Create, {Arg(std::string("12"))}));
    CCShareString slot12;  // the worker made it, 1000 bytes long
    ASSERT_TRUE(slot12.Create("PingIP12", 1));
    EXPECT_EQ(slot12.getStr(1000, 1), std::string(1, '\0'));
    EXPECT_EQ(slot12.getStr(1001, 1), "");
}

TEST_F(MorvelTest, ExitsWhenTheLastObjectIsReleased) {
    auto worker = NewWorker();
    auto block = NewBlock();
    ASSERT_EQ(MorvelPids().size(), 1u);
    worker.reset();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(MorvelPids().size(), 1u);  // the block still holds it
    block.reset();
    EXPECT_TRUE(NoMorvel());
    // The next activation starts it again.
    auto again = NewBlock();
    EXPECT_EQ(Call(*again, morvel::CCShareStringMember::LastErr), Arg(0));
}

// A Morvel started from a terminal that has since gone away: its log lines
// meet a pipe without a reader, and the server must live on.
TEST_F(MorvelTest, SurvivesALogLineIntoABrokenStderrPipe) {
    ASSERT_TRUE(NoMorvel());
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string exe = MorvelPath();
    pid_t pid = testsupport::Fork([&] {
        ::close(fds[0]);
        ::dup2(fds[1], 2);
        ::signal(SIGPIPE, SIG_DFL);  // as a shell would start it
        ::execl(exe.c_str(), exe.c_str(), "-Embedding", static_cast<char*>(nullptr));
        return 127;
    });
    ::close(fds[0]);
    ::close(fds[1]);
    ASSERT_GT(pid, 0);
    // Ours must be the server, not one that activation would start.
    ASSERT_TRUE(testsupport::WaitFor(
        [] { return std::filesystem::exists(platform::SessionDir() + "/objects.sock"); }));
    auto worker = NewWorker();
    ASSERT_EQ(MorvelPids(), std::vector<pid_t>{pid});
    Call(*worker, morvel::ClassPingMember::Create, {Arg(40)});
    CCShareString slot;
    ASSERT_TRUE(slot.Create(slot::Name(40), slot::kSize));
    // A malformed address: the worker logs the failed echo on stderr.
    slot.setStr(slot::AddressField("1.2.3.4.5"), slot::kAddressPos);
    slot.WriteByte(slot::kPing, slot::kStatePos);
    ASSERT_TRUE(testsupport::WaitFor([&] { return slot.ReadByte(slot::kStatePos) == '1'; }, 20s));
    ASSERT_FALSE(testsupport::Wait(pid, 100ms).has_value()) << "Morvel ended";
    slot.setStr(slot::AddressField("127.0.0.40"), slot::kAddressPos);
    slot.WriteByte(slot::kPing, slot::kStatePos);
    EXPECT_TRUE(testsupport::WaitFor([&] { return slot.ReadByte(slot::kStatePos) == '0'; }, 20s));
    worker.reset();
    EXPECT_EQ(testsupport::Wait(pid, 20s), std::optional<int>(0));

    // Started by activation, it keeps none of our streams.
    auto block = NewBlock();
    ASSERT_EQ(MorvelPids().size(), 1u);
    const std::string fdDir = "/proc/" + std::to_string(MorvelPids()[0]) + "/fd/";
    for (const char* fd : {"0", "1", "2"})
        EXPECT_EQ(std::filesystem::read_symlink(fdDir + fd), "/dev/null") << fd;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Exit code 77 from a child means "cannot here".
using testsupport::InChild;
using testsupport::ShmPath;

TEST_F(MorvelTest, BlocksOfAKilledRunAndFoldersOfEndedSessionsGoAtTheNextStart) {
    auto worker = NewWorker();
    Call(*worker, morvel::ClassPingMember::Create, {Arg(7)});
    const std::string left = ShmPath("PingIP7");
    ASSERT_TRUE(Exists(left));
    // This run is killed outright: its blocks have no holder left.
    auto pids = MorvelPids();
    ASSERT_EQ(pids.size(), 1u);
    testsupport::Signal(pids[0], SIGKILL);
    ASSERT_TRUE(NoMorvel());
    worker.reset();
    EXPECT_TRUE(Exists(left));

    // Under /dev/shm: the folder of a session that no process uses any more,
    // one that a process still uses, and blocks of the names used before
    // folders, one of them another user's.
    auto folder = [](const char* leaf, bool locked) {
        const std::string dir = std::string("/dev/shm/varnex-") + leaf;
        ::mkdir(dir.c_str(), 0700);
        ::close(::open((dir + "/b.Old").c_str(), O_RDWR | O_CREAT, 0600));
        int lock = ::open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (locked) ::flock(lock, LOCK_SH);
        return std::pair{dir, lock};
    };
    char tag[17];
    std::snprintf(tag, sizeof tag, "%016x", static_cast<unsigned>(::getpid()));
    auto [ended, endedLock] = folder(tag, false);
    ::close(endedLock);
    tag[0] = 'f';
    auto [used, usedLock] = folder(tag, true);
    const std::string old = "/dev/shm/varnex." + std::to_string(::geteuid()) + "." + tag + ".";
    ::close(::open((old + "PingIP1").c_str(), O_RDWR | O_CREAT, 0600));
    int foreign = ::open((old + "PingIP2").c_str(), O_RDWR | O_CREAT, 0600);
    const bool asRoot = ::fchown(foreign, 65534, 65534) == 0;
    ::close(foreign);

    auto again = NewBlock();
    EXPECT_EQ(Call(*again, morvel::CCShareStringMember::LastErr), Arg(0));
    EXPECT_FALSE(Exists(left));
    EXPECT_FALSE(Exists(ended));
    EXPECT_TRUE(Exists(used + "/b.Old"));
    EXPECT_FALSE(Exists(old + "PingIP1"));
    EXPECT_EQ(Exists(old + "PingIP2"), asRoot);  // not ours to judge
    ::close(usedLock);
    std::filesystem::remove_all(used);
    ::unlink((old + "PingIP2").c_str());
}

TEST_F(MorvelTest, AFullTmpfsIsError8InBothProgramsAndNothingCrashes) {
    // A small tmpfs over the session's parent in a mount namespace of a child,
    // which starts its own Morvel there: a session folder on tmpfs holds its
    // blocks itself.
    int rc = InChild([] {
        const std::string session = platform::SessionDir();
        const std::string run = session.substr(0, session.rfind('/'));
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("varnex-full", run.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0 ||
            ::mkdir(session.c_str(), 0700) != 0)
            return 77;
        CCShareString mine;
        if (mine.Create("cc-full", 1 << 20) || mine.LastErr() != 8) return 1;
        if (!mine.Create("cc-fits", 1000) ||
            platform::FileMapping::Path("cc-fits") != session + "/blocks/b.cc-fits")
            return 2;
        try {
            auto block = NewBlock();
            if (Call(*block, morvel::CCShareStringMember::Create,
                     {Arg(std::string("Full")), Arg(1 << 20)}) != Arg(false))
                return 3;
            if (Call(*block, morvel::CCShareStringMember::LastErr) != Arg(8)) return 4;
            if (Call(*block, morvel::CCShareStringMember::Create,
                     {Arg(std::string("Fits")), Arg(1000)}) != Arg(true))
                return 5;
            if (Call(*block, morvel::CCShareStringMember::getStr, {Arg(1), Arg(0x7fffffff)}) !=
                Arg(std::string()))
                return 6;
            if (Call(*block, morvel::CCShareStringMember::LastErr) != Arg(87)) return 7;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return 8;
        }
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "cannot mount a small tmpfs here";
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(NoMorvel());
}

}  // namespace
