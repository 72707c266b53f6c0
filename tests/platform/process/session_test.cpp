// SPDX-License-Identifier: MIT
// Where the programs find each other and where the profile files go: beside
// the program while its folder is writable, else in the user's config folder.
#include "platform/process/session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"

namespace {

namespace fs = std::filesystem;

void Executable(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    testsupport::WriteText(path, "#!/bin/sh\n");
    ::chmod(path.c_str(), 0755);
}

class Session : public ::testing::Test {
  protected:
    void SetUp() override { config_ = std::getenv("XDG_CONFIG_HOME"); }
    void TearDown() override {
        platform::SetProgramDirForTesting(testsupport::TestRoot() + "/prog");
        ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    }
    std::string config_;
};

TEST_F(Session, MorvelIsFoundBesideTessorFirstThenInTheInstalledPrivateFolder) {
    const std::string root = testsupport::MakeTempDir("prefix");
    platform::SetProgramDirForTesting(root + "/bin");
    fs::create_directories(root + "/bin");
    // Nowhere: the path beside, for the message.
    EXPECT_EQ(platform::CompanionProgram("Morvel"), root + "/bin/Morvel");
    Executable(root + "/libexec/varnex/Morvel");
    EXPECT_EQ(fs::canonical(platform::CompanionProgram("Morvel")),
              fs::path(root + "/libexec/varnex/Morvel"));
    Executable(root + "/bin/Morvel");
    EXPECT_EQ(platform::CompanionProgram("Morvel"), root + "/bin/Morvel");
}

TEST_F(Session, ProfileFilesStayBesideAWritableProgramAndMoveToTheConfigFolderOtherwise) {
    const std::string prog = testsupport::MakeTempDir("prog");
    Executable(prog + "/Morvel");
    platform::SetProgramDirForTesting(prog);
    EXPECT_EQ(platform::ProfileDir(), prog);

    std::string why;
    if (!testsupport::MakeReadOnly(prog, &why)) GTEST_SKIP() << why;
    const std::string config = testsupport::MakeTempDir("config");
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    EXPECT_EQ(platform::ProfileDir(), config + "/varnex");
    struct stat st {};
    ASSERT_EQ(::stat((config + "/varnex").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Without XDG_CONFIG_HOME, or with a relative one (which the XDG rules
    // ignore): ~/.config.
    const std::string home = testsupport::MakeTempDir("home");
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(platform::ProfileDir(), home + "/.config/varnex");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(platform::ProfileDir(), home + "/.config/varnex");
    ::setenv("HOME", oldHome.c_str(), 1);
    testsupport::UndoReadOnly(prog);
}

TEST_F(Session, AnInstalledCopyKeepsNoProfileFilesBesideItEvenWhenItsFolderIsWritable) {
    // Root may write into /usr/bin; the settings must still not land there.
    const std::string root = testsupport::MakeTempDir("prefix");
    Executable(root + "/bin/Tessor");
    Executable(root + "/libexec/varnex/Morvel");
    platform::SetProgramDirForTesting(root + "/bin");
    EXPECT_EQ(platform::ProfileDir(), config_ + "/varnex");
}

}  // namespace
