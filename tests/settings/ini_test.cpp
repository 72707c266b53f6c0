// SPDX-License-Identifier: MIT
#include "settings/ini.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files/codepage.h"
#include "platform/files/fileio.h"
#include "platform/process/msgbox.h"
#include "platform/process/session.h"
#include "tests/support/children.h"
#include "tests/support/isolation.h"

namespace {

using namespace settings;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.insert(e->d_name);
        ::closedir(d);
    }
    return names;
}

class Ini : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = testsupport::MakeTempDir("ini");
        path_ = dir_ + "/set.ini";
    }
    std::string dir_, path_;
};

TEST_F(Ini, BareNamesLiveInTheProgramDirectory) {
    EXPECT_EQ(IniPath("set.ini"), platform::ProgramDir() + "/set.ini");
    EXPECT_EQ(IniPath("/x/Ps.ini"), "/x/Ps.ini");
    EXPECT_EQ(ReadIni("Set", "Ping", "set.ini"), "");
    ASSERT_TRUE(WriteIni("Set", "Ping", "127.0.0.1", "set.ini"));
    EXPECT_EQ(Slurp(platform::ProgramDir() + "/set.ini"), "[Set]\nPing=127.0.0.1\n");
    EXPECT_EQ(ReadIni("Set", "Ping", "set.ini"), "127.0.0.1");
}

TEST_F(Ini, MissingFileSectionOrKeyReadsEmpty) {
    EXPECT_EQ(ReadIni("Set", "1", path_), "");
    EXPECT_FALSE(Entries(dir_).count("set.ini"));  // reading creates nothing
    ASSERT_TRUE(WriteIni("Set", "1", "10", path_));
    EXPECT_EQ(ReadIni("Set", "2", path_), "");
    EXPECT_EQ(ReadIni("PS", "1", path_), "");
}

TEST_F(Ini, LineBreaksAreEscapedInOrderAndComeBack) {
    ASSERT_TRUE(WriteIni("PS", "192.168.0.5", "first\r\nsecond", path_));
    EXPECT_EQ(Slurp(path_), "[PS]\n192.168.0.5=first&chr13;&chr10;second\n");
    EXPECT_EQ(ReadIni("PS", "192.168.0.5", path_), "first\r\nsecond");
    ASSERT_TRUE(WriteIni("PS", "a", "x\ny\rz", path_));
    EXPECT_EQ(ReadIni("PS", "a", path_), "x\ny\rz");
    // A typed escape text comes back as the character it names; other
    // ampersands and other letter cases stay as typed.
    ASSERT_TRUE(WriteIni("PS", "b", "x&chr10;y & &CHR10; &chr9;", path_));
    EXPECT_EQ(ReadIni("PS", "b", path_), "x\ny & &CHR10; &chr9;");
    ASSERT_TRUE(WriteIni("PS", "c", "", path_));
    EXPECT_EQ(ReadIni("PS", "c", path_), "");
}

TEST_F(Ini, LongValuesAreCutTo10239Bytes) {
    ASSERT_TRUE(WriteIni("PS", "k", std::string(10239, 'a'), path_));
    EXPECT_EQ(ReadIni("PS", "k", path_).size(), 10239u);
    ASSERT_TRUE(WriteIni("PS", "k", std::string(10240, 'b'), path_));
    EXPECT_EQ(ReadIni("PS", "k", path_), std::string(10239, 'b'));
    ASSERT_TRUE(WriteIni("PS", "k", std::string(50000, 'c'), path_));
    EXPECT_EQ(ReadIni("PS", "k", path_), std::string(10239, 'c'));
    // The whole value stays in the file.
    EXPECT_NE(Slurp(path_).find(std::string(50000, 'c')), std::string::npos);
}

TEST_F(Ini, UntouchedLinesStayByteForByte) {
    const std::string v300(300, 'v');
    const std::string before =
        "; Varnex settings\r\n"
        "[Set]\r\n"
        "1=10\r\n"
        "  count = 3 \r\n"
        "a line without equals\r\n"
        "count=99\r\n"
        "\r\n"
        "[PS]\r\n"
        "192.168.0.5=" +
        v300 +
        "\r\n"
        "# note=1\r\n"
        "\r\n"
        "[Other]\r\n"
        "x=1";  // no line end at the end of the file
    Put(path_, before);

    // Case is ignored, the first key wins, blanks around the value go.
    EXPECT_EQ(ReadIni("SET", "Count", path_), "3");
    EXPECT_EQ(ReadIni("ps", "192.168.0.5", path_), v300);
    EXPECT_EQ(ReadIni("Set", "a line without equals", path_), "");
    EXPECT_EQ(ReadIni("PS", "# note", path_), "");  // a comment is no key

    ASSERT_TRUE(WriteIni("set", "COUNT", "7", path_));
    ASSERT_TRUE(WriteIni("PS", "192.168.0.6", "new", path_));
    ASSERT_TRUE(WriteIni("other", "y", "2", path_));
    ASSERT_TRUE(WriteIni("New", "k", "v", path_));
    const std::string after =
        "; Varnex settings\r\n"
        "[Set]\r\n"
        "1=10\r\n"
        "COUNT=7\r\n"
        "a line without equals\r\n"
        "count=99\r\n"
        "\r\n"
        "[PS]\r\n"
        "192.168.0.5=" +
        v300 +
        "\r\n"
        "# note=1\r\n"
        "192.168.0.6=new\r\n"
        "\r\n"
        "[Other]\r\n"
        "x=1\r\n"
        "y=2\r\n"
        "[New]\r\n"
        "k=v\r\n";
    EXPECT_EQ(Slurp(path_), after);
    EXPECT_EQ(ReadIni("Set", "count", path_), "7");
    EXPECT_EQ(ReadIni("PS", "192.168.0.6", path_), "new");

    // A file cut between the CR and the LF of its last line: the LF completes
    // that line, whose CR would otherwise become part of it.
    Put(path_, "[Other]\r\n[Cut]\r");
    ASSERT_TRUE(WriteIni("Other", "y", "2", path_));
    ASSERT_TRUE(WriteIni("Cut", "z", "3", path_));
    EXPECT_EQ(Slurp(path_), "[Other]\r\ny=2\r\n[Cut]\r\nz=3\r\n");
}

TEST_F(Ini, FirstOfTwoSectionsOfTheSameNameWins) {
    Put(path_, "[ps]\na=1\n[PS]\na=2\nb=3\n");
    EXPECT_EQ(ReadIni("PS", "a", path_), "1");
    EXPECT_EQ(ReadIni("PS", "b", path_), "");
    ASSERT_TRUE(WriteIni("PS", "b", "4", path_));
    EXPECT_EQ(Slurp(path_), "[ps]\na=1\nb=4\n[PS]\na=2\nb=3\n");
}

// A sweep's 255 reads do not read the whole file each time, yet a file that
// another program changed reads afresh: rewritten in place with its size and
// modification time kept, at once or long after the last read.
TEST_F(Ini, AFileChangedInPlaceReadsAfreshEvenWithItsSizeAndTimeKept) {
    auto rewrite = [&](const std::string& value) {
        struct stat before {};
        ASSERT_EQ(::stat(path_.c_str(), &before), 0);
        int fd = ::open(path_.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, value.data(), value.size(), 12), static_cast<ssize_t>(value.size()));
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::futimens(fd, times), 0);
        ::close(fd);
    };
    Put(path_, "[PS]\n Key = aaa \nkey=zzz\n; c=1\n");
    EXPECT_EQ(ReadIni("ps", "KEY", path_), "aaa");
    rewrite("bbb");
    EXPECT_EQ(ReadIni("PS", "key", path_), "bbb");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // long settled
    EXPECT_EQ(ReadIni("PS", "key", path_), "bbb");
    rewrite("ccc");
    EXPECT_EQ(ReadIni("PS", "key", path_), "ccc");
    EXPECT_EQ(ReadIni("PS", "; c", path_), "");
}

TEST_F(Ini, RefusesNamesThatWouldBreakTheFile) {
    Put(path_, "[Set]\nk=1\n");
    EXPECT_FALSE(WriteIni("Se]t", "k", "v", path_));
    EXPECT_FALSE(WriteIni("Set", "a=b", "v", path_));
    EXPECT_FALSE(WriteIni("Set", "a\nb", "v", path_));
    EXPECT_FALSE(WriteIni("", "k", "v", path_));
    EXPECT_FALSE(WriteIni("Set", "", "v", path_));
    EXPECT_FALSE(WriteIni("Set", "k", std::string("a\0b", 3), path_));
    EXPECT_EQ(Slurp(path_), "[Set]\nk=1\n");
}

TEST_F(Ini, KeepsModeAndLinks) {
    Put(path_, "[Set]\nk=1\n");
    ::chmod(path_.c_str(), 0640);
    const std::string link = dir_ + "/Ps.ini";
    ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
    ASSERT_TRUE(WriteIni("Set", "k", "2", link));
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Slurp(path_), "[Set]\nk=2\n");
    EXPECT_EQ(Entries(dir_), (std::set<std::string>{"set.ini", "Ps.ini"}));
}

TEST_F(Ini, AnUnreadableFileIsNeverReplaced) {
    // A folder where the file should be: it cannot be read as a file, so a
    // write must not replace it with a file holding only the new key.
    ASSERT_EQ(::mkdir(path_.c_str(), 0700), 0);
    EXPECT_FALSE(WriteIni("Set", "k", "v", path_));
    EXPECT_EQ(ReadIni("Set", "k", path_), "");
    EXPECT_FALSE(WriteIni("Set", "k", "v", dir_ + "/no/such/folder/set.ini"));
}

TEST_F(Ini, AFifoADeviceOrAHugeFileIsRefusedUntouchedAndToldOnce) {
    std::vector<std::string> told;
    auto previous = platform::SetMessageHandler(
        [&](const std::string& text, platform::MsgIcon) { told.push_back(text); });
    const std::string fifo = dir_ + "/fifo.ini", zero = dir_ + "/zero.ini", huge = path_;
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
    Put(huge, "[Set]\nk=1\n");
    ASSERT_EQ(::truncate(huge.c_str(), (16 << 20) + 1), 0);  // sparse: costs no disk
    for (const std::string& file : {fifo, zero, huge}) {
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(ReadIni("Set", "k", file), "") << file;
            EXPECT_FALSE(WriteIni("Set", "k", "2", file)) << file;
        }
        EXPECT_EQ(
            std::count_if(told.begin(), told.end(),
                          [&](const std::string& t) { return t.find(file) != std::string::npos; }),
            1)
            << file;
    }
    platform::SetMessageHandler(previous);
    struct stat st;
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(::lstat(zero.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(huge.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, (16 << 20) + 1);
    EXPECT_EQ(Entries(dir_), (std::set<std::string>{"fifo.ini", "zero.ini", "set.ini"}));
}

TEST_F(Ini, ACrashBeforeTheRenameLeavesTheOldFileAndTheNextSaveNoStrayFile) {
    ASSERT_TRUE(WriteIni("Set", "1", "old", path_));
    const std::string old = Slurp(path_);
    const int code = testsupport::InChild([&] {
        platform::SetBeforeRenameForTesting(+[] { ::raise(SIGKILL); });
        WriteIni("Set", "2", "lost", path_);
        return 0;
    });
    ASSERT_EQ(code, 128 + SIGKILL);
    EXPECT_EQ(Slurp(path_), old);
    EXPECT_EQ(Entries(dir_).size(), 2u);  // the file and the crashed save's temporary
    ASSERT_TRUE(WriteIni("Set", "3", "new", path_));
    EXPECT_EQ(Entries(dir_), std::set<std::string>{"set.ini"});
    EXPECT_EQ(Slurp(path_), "[Set]\n1=old\n3=new\n");
}

TEST_F(Ini, TwoProgramsWritingAtOnceKeepEachOthersKeys) {
    auto writer = [&](int who) {
        return testsupport::Fork([&, who] {
            for (int i = 0; i < 100; ++i)
                if (!WriteIni("PS", std::to_string(who) + "." + std::to_string(i), "r", path_))
                    return 1;
            return 0;
        });
    };
    pid_t a = writer(1), b = writer(2);
    EXPECT_EQ(a > 0 ? testsupport::Wait(a).value_or(-1) : -1, 0);
    EXPECT_EQ(b > 0 ? testsupport::Wait(b).value_or(-1) : -1, 0);
    int found = 0;
    for (int who : {1, 2})
        for (int i = 0; i < 100; ++i)
            found += ReadIni("PS", std::to_string(who) + "." + std::to_string(i), path_) == "r";
    EXPECT_EQ(found, 200);
    EXPECT_EQ(Entries(dir_), std::set<std::string>{"set.ini"});
}

// Runs body in a forked child with its own mount namespace, so a tmpfs
// mounted there never shows on the host. The child's exit code is body's
// result: 0 passed, 77 skipped, else the number of the failed check.
int InOwnMountNamespace(const std::function<int()>& body) {
    return testsupport::InChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return 77;
        return body();
    });
}

TEST_F(Ini, AFullDiskLeavesTheOldFileWholeAndReportsFailure) {
    const std::string mnt = dir_;
    int rc = InOwnMountNamespace([&] {
        if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0) return 77;
        const std::string file = mnt + "/Ps.ini";
        for (int i = 1; i <= 20; ++i)
            if (!WriteIni("PS", "192.168.0." + std::to_string(i), "remark " + std::to_string(i),
                          file))
                return 1;
        const std::string old = Slurp(file);
        // Fill what is left of the disk.
        {
            int fd = ::open((mnt + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
            std::string block(4096, 'x');
            while (::write(fd, block.data(), block.size()) > 0) {
            }
            ::close(fd);
        }
        if (WriteIni("PS", "192.168.0.5", std::string(8000, 'n'), file)) return 2;
        if (Slurp(file) != old) return 3;
        if (ReadIni("PS", "192.168.0.5", file) != "remark 5") return 4;
        if (Entries(mnt) != std::set<std::string>{"Ps.ini", "filler"}) return 5;
        // Room again: the same write now succeeds.
        ::unlink((mnt + "/filler").c_str());
        if (!WriteIni("PS", "192.168.0.5", std::string(8000, 'n'), file)) return 6;
        if (ReadIni("PS", "192.168.0.20", file) != "remark 20") return 7;
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_EQ(rc, 0);
}

TEST_F(Ini, AReadOnlyFolderLeavesTheOldFileAndReportsFailure) {
    const std::string mnt = dir_;
    int rc = InOwnMountNamespace([&] {
        if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0) return 77;
        const std::string file = mnt + "/set.ini";
        if (!WriteIni("Set", "Ping", "127.0.0.1", file)) return 1;
        if (::mount(nullptr, mnt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 77;
        if (WriteIni("Set", "Ping", "127.0.0.2", file)) return 2;
        if (ReadIni("Set", "Ping", file) != "127.0.0.1") return 3;
        if (Entries(mnt) != std::set<std::string>{"set.ini"}) return 4;
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_EQ(rc, 0);
}

class IniInLocale : public Ini, public testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        Ini::SetUp();
        old_ = std::setlocale(LC_ALL, nullptr);
        if (!std::setlocale(LC_ALL, GetParam())) GTEST_SKIP() << GetParam() << " not generated";
    }
    void TearDown() override { std::setlocale(LC_ALL, old_.c_str()); }
    std::string old_;
};

TEST_P(IniInLocale, ChineseRemarksRoundTripInTheCodePage) {
    const std::string remark = "机房\r\n二楼 & 三楼";
    ASSERT_TRUE(WriteIni("PS", "192.168.0.5", remark, path_));
    EXPECT_EQ(ReadIni("ps", "192.168.0.5", path_), remark);
    const std::string bytes = Slurp(path_);
    EXPECT_NE(bytes.find(platform::ToAnsi("机房&chr13;&chr10;二楼")), std::string::npos);
    if (std::string(GetParam()) == "zh_CN.gbk") {
        EXPECT_NE(bytes.find("\xBB\xFA\xB7\xBF"), std::string::npos);  // 机房 in GBK
    }

    // Two keys whose GBK trail bytes are 'A' and 'a' are different keys.
    ASSERT_TRUE(WriteIni("PS", "\u4E04", "one", path_));
    ASSERT_TRUE(WriteIni("PS", "\u4E64", "two", path_));
    EXPECT_EQ(ReadIni("PS", "\u4E04", path_), "one");
    EXPECT_EQ(ReadIni("PS", "\u4E64", path_), "two");
}

TEST_P(IniInLocale, ACharacterTheCodePageLacksIsRefusedNotMangled) {
    ASSERT_TRUE(WriteIni("PS", "192.168.0.5", "old", path_));
    const std::string emoji = "机房 \U0001F600";
    const bool gbk = std::string(GetParam()) == "zh_CN.gbk";
    EXPECT_EQ(WriteIni("PS", "192.168.0.5", emoji, path_), !gbk);
    EXPECT_EQ(ReadIni("PS", "192.168.0.5", path_), gbk ? "old" : emoji);
}

TEST_P(IniInLocale, TheCutDoesNotBreakTheText) {
    // 10239 bytes end inside a character: it becomes one replacement
    // character, never malformed UTF-8.
    ASSERT_TRUE(WriteIni("PS", "k", std::string(10238, 'a') + "机机", path_));
    const std::string got = ReadIni("PS", "k", path_);
    EXPECT_TRUE(got == std::string(10238, 'a') + "\uFFFD") << got.substr(10230);
}

INSTANTIATE_TEST_SUITE_P(Locales, IniInLocale, testing::Values("zh_CN.gbk", "C.utf8"));

}  // namespace
