// Morvel as a real process: its command line, its two classes reached through
// the object layer, the worker serving a slot over loopback, and its lifetime
// when clients release their objects, die, or Morvel itself dies.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/objects.h"
#include "platform/process.h"
#include "platform/session.h"
#include "tests/support/isolation.h"
#include "worker/CCShareString.h"
#include "worker/classes.h"
#include "worker/slot.h"

namespace {

using namespace std::chrono_literals;
using platform::objects::Arg;
using platform::objects::ObjectError;
using platform::objects::Ref;

std::string MorvelPath() { return platform::ProgramDir() + "/Morvel"; }

// Morvel processes serving this test's session (found by their environment),
// zombies left out.
std::vector<pid_t> MorvelPids() {
    std::vector<pid_t> pids;
    const char* run = std::getenv("XDG_RUNTIME_DIR");
    if (!run) return pids;
    const std::string want = std::string("XDG_RUNTIME_DIR=") + run;
    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        auto exe = std::filesystem::read_symlink(entry.path() / "exe", ec);
        if (ec || exe.filename().string().rfind("Morvel", 0) != 0) continue;
        std::ifstream env(entry.path() / "environ", std::ios::binary);
        std::string var;
        bool ours = false;
        while (std::getline(env, var, '\0'))
            if (var == want) ours = true;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        auto close = line.rfind(')');
        bool zombie =
            close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
        if (ours && !zombie) pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return pids;
}

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

// ---- a second client process: this binary re-run on the disabled case below ----

struct ChildClient {
    pid_t pid = -1;
    std::string ready;
};

ChildClient StartChild(const std::string& mode) {
    ChildClient c;
    c.ready = testsupport::MakeTempDir("child") + "/ready";
    ::setenv("VARNEX_CHILD_MODE", mode.c_str(), 1);
    ::setenv("VARNEX_CHILD_READY", c.ready.c_str(), 1);
    ::setenv("VARNEX_CHILD_RUNTIME", std::getenv("XDG_RUNTIME_DIR"), 1);
    ::setenv("VARNEX_CHILD_DATA", std::getenv("XDG_DATA_HOME"), 1);
    auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    auto started = platform::StartProgram(
        self, {"--gtest_filter=DISABLED_Child.Run", "--gtest_also_run_disabled_tests"});
    for (const char* v :
         {"VARNEX_CHILD_MODE", "VARNEX_CHILD_READY", "VARNEX_CHILD_RUNTIME", "VARNEX_CHILD_DATA"})
        ::unsetenv(v);
    c.pid = started.pid;
    return c;
}

// The child's side: joins the parent's session, holds objects, says it is ready.
TEST(DISABLED_Child, Run) {
    const char* mode = std::getenv("VARNEX_CHILD_MODE");
    if (!mode) GTEST_SKIP() << "only run as a child of another test";
    ::setenv("XDG_RUNTIME_DIR", std::getenv("VARNEX_CHILD_RUNTIME"), 1);
    ::setenv("XDG_DATA_HOME", std::getenv("VARNEX_CHILD_DATA"), 1);
    auto worker = NewWorker();
    Call(*worker, morvel::ClassPingMember::Create, {Arg(std::int32_t{11})});
    auto block = NewBlock();
    Call(*block, morvel::CCShareStringMember::Create, {Arg(std::string("PingIP11")), Arg(1000)});
    std::ofstream(std::getenv("VARNEX_CHILD_READY")) << "ready\n";
    std::this_thread::sleep_for(60s);  // until killed
}

class MorvelTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { Register(); }
};

// A client's view of a slot, opened in this process.
struct Slot {
    CCShareString view;
    explicit Slot(int id) { EXPECT_TRUE(view.Create(slot::Name(id), slot::kSize)); }
    void Command(const std::string& address, char c) {
        view.setStr(slot::AddressField(address), slot::kAddressPos);
        view.setStr(std::string(1, c), slot::kStatePos);
    }
    std::string State() { return view.getStr(slot::kStatePos, 1); }
    bool WaitState(const std::string& s) {
        return testsupport::WaitFor([&] { return State() == s; }, 10s);
    }
    bool Stays(const std::string& s) {
        std::this_thread::sleep_for(250ms);
        return State() == s;
    }
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
    // A text of digits is a host number too, as a Variant would be coerced.
    EXPECT_NO_THROW(Call(*worker, morvel::ClassPingMember::Create, {Arg(std::string("12"))}));
    Slot s(12);
    s.Command("127.0.0.12", 'P');
    EXPECT_TRUE(s.WaitState("0"));
}

TEST_F(MorvelTest, WorkerServesItsSlotOverLoopback) {
    auto worker = NewWorker();
    Call(*worker, morvel::ClassPingMember::Create, {Arg(7)});
    {
        CCShareString probe;  // the worker made the block, 1000 bytes long
        ASSERT_TRUE(probe.Create("PingIP7", 1));
        EXPECT_EQ(probe.getStr(1000, 1), std::string(1, '\0'));
        EXPECT_EQ(probe.LastErr(), 0);
        EXPECT_EQ(probe.getStr(1001, 1), "");
        EXPECT_NE(probe.LastErr(), 0);
    }
    Slot s(7);
    s.Command("127.0.0.7", 'P');
    EXPECT_TRUE(s.WaitState("0"));
    // A malformed address ends as not answered, and the worker goes on.
    s.Command("127.0.0.1.5", 'P');
    EXPECT_TRUE(s.WaitState("1"));
    s.Command("127.0.0.8", 'P');
    EXPECT_TRUE(s.WaitState("0"));
    // Close: "X", later commands stay unanswered, a new Create restarts.
    s.Command("127.0.0.7", 'A');
    EXPECT_TRUE(s.WaitState("X"));
    s.Command("127.0.0.7", 'P');
    EXPECT_TRUE(s.Stays("P"));
    Call(*worker, morvel::ClassPingMember::Create, {Arg(7)});
    EXPECT_TRUE(s.WaitState("0"));
    // StopIt stops the ticks without writing.
    Call(*worker, morvel::ClassPingMember::StopIt);
    s.Command("127.0.0.7", 'M');
    EXPECT_TRUE(s.Stays("M"));
    Call(*worker, morvel::ClassPingMember::Create, {Arg(7)});
    EXPECT_TRUE(s.WaitState("0"));
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

TEST_F(MorvelTest, KilledClientReleasesItsObjectsAndMorvelExits) {
    ASSERT_TRUE(NoMorvel());
    auto child = StartChild("hold");
    ASSERT_TRUE(child.pid > 0);
    ASSERT_TRUE(testsupport::WaitFor([&] { return std::filesystem::exists(child.ready); }, 30s));
    ASSERT_EQ(MorvelPids().size(), 1u);
    {
        Slot s(11);  // the child's worker serves it
        s.Command("127.0.0.11", 'P');
        EXPECT_TRUE(s.WaitState("0"));
    }
    ::kill(child.pid, SIGKILL);
    platform::WaitProgram(child.pid, 10s);
    EXPECT_TRUE(NoMorvel());
}

TEST_F(MorvelTest, KilledMorvelMakesTheNextCallFail) {
    auto block = NewBlock();
    auto pids = MorvelPids();
    ASSERT_EQ(pids.size(), 1u);
    ::kill(pids[0], SIGKILL);
    ASSERT_TRUE(NoMorvel());
    try {
        Call(*block, morvel::CCShareStringMember::LastErr);
        ADD_FAILURE() << "a call to a killed server succeeded";
    } catch (const ObjectError& e) {
        EXPECT_STRNE(e.what(), "");
    }
    // A new object gets a new server.
    auto again = NewWorker();
    EXPECT_NO_THROW(Call(*again, morvel::ClassPingMember::Create, {Arg(3)}));
}

}  // namespace
