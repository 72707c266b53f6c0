// Morvel as a real process: its command line, its two classes reached through
// the object layer, and its end when the last object goes. The worker's slot
// traffic, dead clients and a dead Morvel are covered through the window's
// proxy (tests/scanner/ping_test.cpp).
#include <gtest/gtest.h>
#include <signal.h>
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
#include "platform/objects.h"
#include "platform/process.h"
#include "platform/session.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"
#include "worker/classes.h"

namespace {

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
std::pair<int, std::string> RunMorvel(const std::string& args) {
    std::string cmd = "'" + MorvelPath() + "' " + args + " 2>&1 >/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[256];
    while (p && std::fgets(buf, sizeof buf, p)) out += buf;
    int status = p ? ::pclose(p) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

void Register() {
    auto [code, err] = RunMorvel("/regsver");
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
    for (const char* args : {"", "/bogus", "/regsver extra", "-embedding"}) {
        auto [code, err] = RunMorvel(args);
        EXPECT_NE(code, 0) << args;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << args << ": " << err;
        EXPECT_NE(err.find("/regsver"), std::string::npos) << err;
    }
    EXPECT_EQ(RunMorvel("/regsver").first, 0);
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
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], 2);
        ::signal(SIGPIPE, SIG_DFL);  // as a shell would start it
        ::execl(exe.c_str(), exe.c_str(), "-Embedding", static_cast<char*>(nullptr));
        ::_exit(127);
    }
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
    ASSERT_FALSE(platform::WaitProgram(pid, 100ms).has_value()) << "Morvel ended";
    slot.setStr(slot::AddressField("127.0.0.40"), slot::kAddressPos);
    slot.WriteByte(slot::kPing, slot::kStatePos);
    EXPECT_TRUE(testsupport::WaitFor([&] { return slot.ReadByte(slot::kStatePos) == '0'; }, 20s));
    worker.reset();
    EXPECT_EQ(platform::WaitProgram(pid, 20s), std::optional<int>(0));

    // Started by activation, it keeps none of our streams.
    auto block = NewBlock();
    ASSERT_EQ(MorvelPids().size(), 1u);
    const std::string fdDir = "/proc/" + std::to_string(MorvelPids()[0]) + "/fd/";
    for (const char* fd : {"0", "1", "2"})
        EXPECT_EQ(std::filesystem::read_symlink(fdDir + fd), "/dev/null") << fd;
}

}  // namespace
