// Morvel as a real process: its command line, its two classes reached through
// the object layer, and its end when the last object goes. The worker's slot
// traffic, dead clients and a dead Morvel are covered through the window's
// proxy (tests/scanner/ping_test.cpp).
#include <gtest/gtest.h>
#include <sys/types.h>

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
#include "platform/objects.h"
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
    // Appended piece by piece: GCC 12 in a Release build warns (-Wrestrict) on a chain of
    // operator+ that starts with a literal.
    std::string cmd = "'";
    cmd += MorvelPath();
    cmd += "' ";
    cmd += args;
    cmd += " 2>&1 >/dev/null";
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

}  // namespace
