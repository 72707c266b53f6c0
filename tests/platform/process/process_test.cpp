// SPDX-License-Identifier: MIT
// Starting programs, the standard streams a program starts with, and the
// checked helper through which every test starts and signals its children.
#include "platform/process/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/children.h"
#include "tests/support/isolation.h"

namespace {

using namespace std::chrono_literals;

TEST(StandardStreamsTest, AClosedStreamGetsDevNullAndNoSocketTakesItsPlace) {
    const int code = testsupport::InChild([] {
        ::close(0);
        ::close(2);
        if (!platform::OpenStandardStreams()) return 1;
        for (const char* fd : {"0", "1", "2"}) {
            std::error_code ec;
            auto target = std::filesystem::read_symlink(std::string("/proc/self/fd/") + fd, ec);
            if (fd != std::string("1") && target != "/dev/null") return 2;
        }
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        return s > 2 ? 0 : 3;
    });
    EXPECT_EQ(code, 0);
}

TEST(TestChildrenTest, NoSignalReachesAProcessTheTestDidNotStart) {
    // A failed start is a failure of the test and a pid that signals nothing.
    testsupport::Child missing;
    EXPECT_NONFATAL_FAILURE(missing = testsupport::Spawn("/nonexistent/program", {}),
                            "cannot start");
    EXPECT_FALSE(missing.ok());
    for (pid_t pid : {missing.pid, 0, -1, ::getpid(), ::getppid(), 1})
        EXPECT_NONFATAL_FAILURE(testsupport::Signal(pid, 0), "refused");
    EXPECT_NONFATAL_FAILURE(testsupport::Wait(-1, 10ms), "refused");

    // A child of ours may be signalled.
    testsupport::Child sleeper = testsupport::Spawn("/bin/sleep", {"60"});
    ASSERT_TRUE(sleeper.ok());
    EXPECT_TRUE(testsupport::Signal(sleeper.pid, 0));
    testsupport::End(sleeper.pid);
    EXPECT_FALSE(testsupport::IsDescendant(sleeper.pid));
}

}  // namespace
