// SPDX-License-Identifier: MIT
// The history of sweeps: changes by their priority, devices and spans that
// outlive the kept days, the import of the kept sweeps, and files that are
// foreign, damaged, locked, full or whose writer was killed.
#include "sweep/History.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "platform/files/fileio.h"
#include "sweep/KeptSweeps.h"
#include "tests/support/children.h"
#include "tests/support/isolation.h"

namespace {

using namespace sweep;
using namespace std::chrono_literals;

// MACs of the documentation range (globally administered) and a privacy one.
const char* const kA = "00-00-5E-00-53-0A";
const char* const kB = "00-00-5E-00-53-0B";
const char* const kC = "00-00-5E-00-53-0C";
const char* const kPrivate = "06-11-22-33-44-55";

// Whole milliseconds, as the history keeps times.
const TimePoint kStart =
    std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) -
    std::chrono::hours(24 * 40);

// A sweep of 192.0.2 at kStart + `minutes` in which the listed hosts answered
// with the given MACs ("" for none read).
SweepResult Swept(int minutes, std::initializer_list<std::pair<int, const char*>> seen) {
    SweepResult r;
    r.subnet = "192.0.2";
    r.rounds = 1;
    r.started = kStart + std::chrono::minutes(minutes);
    for (int i = 1; i <= 255; ++i) {
        HostResult h;
        h.host = i;
        h.ip = "192.0.2." + std::to_string(i);
        h.rounds = 1;
        r.hosts.push_back(h);
    }
    for (auto [host, mac] : seen) {
        r.hosts[static_cast<std::size_t>(host - 1)].answered = 1;
        r.hosts[static_cast<std::size_t>(host - 1)].mac = mac;
    }
    return r;
}

// "host:change[:before]" of every marked host.
std::string Changes(const SweepResult& r) {
    std::string out;
    for (const HostResult& h : r.hosts) {
        if (h.change.empty()) continue;
        out += std::to_string(h.host) + ":" + h.change;
        if (!h.previousMac.empty()) out += ":" + h.previousMac;
        if (!h.previousIp.empty()) out += ":" + h.previousIp;
        out += " ";
    }
    return out;
}

std::string Record(History& h, SweepResult r) {
    h.Record(r, SweepSource::Script);
    return Changes(r);
}

std::string Path(const char* name) { return testsupport::MakeTempDir(name) + "/history.db"; }

TEST(History, MarksEachChangeByItsPriorityAgainstTheLastSweepAndTheKnownDevices) {
    History h(Path("marks"));
    // The first sweep is the baseline; the first one to read MACs only learns them.
    EXPECT_EQ(Record(h, Swept(0, {{1, ""}, {2, ""}})), "");
    EXPECT_EQ(Record(h, Swept(5, {{1, kA}, {2, kB}, {3, kPrivate}})), "3:up ");
    // New MAC at a new address and at a known one; a privacy MAC never seen
    // before is only "up"; a MAC from another address moved; 2 went down.
    EXPECT_EQ(Record(h, Swept(10, {{1, kC}, {4, kB}, {5, "06-00-00-00-00-05"}})),
              "1:new 2:down 3:down 4:moved:192.0.2.2 5:up ");
    // Back after a sweep without it: "up", not new. A known MAC at an address
    // that the last sweep saw with another one: "mac". A device that answers
    // at a second address has not moved.
    EXPECT_EQ(Record(h, Swept(15, {{1, kA}, {2, kB}, {4, kB}, {5, "06-00-00-00-00-05"}})),
              "1:mac:00-00-5E-00-53-0C 2:up ");
    // A MAC not read on either side is never a change of MAC.
    EXPECT_EQ(Record(h, Swept(20, {{1, ""}, {2, kB}, {4, kB}, {5, ""}})), "");
    EXPECT_EQ(Record(h, Swept(25, {{1, kC}, {2, kB}, {4, kB}, {5, "00-00-00-00-00-00"}})), "");
    // Marking alone writes nothing: the same marks twice.
    SweepResult again = Swept(30, {{2, kA}});
    h.MarkChanges(again);
    EXPECT_EQ(Changes(again), "1:down 2:mac:00-00-5E-00-53-0B 4:down 5:down ");
    h.MarkChanges(again);
    EXPECT_EQ(Changes(again), "1:down 2:mac:00-00-5E-00-53-0B 4:down 5:down ");
    // Another subnet has its own baseline.
    SweepResult other = Swept(30, {{1, kA}});
    other.subnet = "192.0.3";
    EXPECT_EQ(Record(h, other), "");
}

TEST(History, KeepsDevicesAndSpansAndDropsSweepsAfterTheKeptDays) {
    const std::string path = Path("spans");
    const Subnet s{{192, 0, 2}};
    {
        History h(path);
        // Host 7: kA for two sweeps, kA without a MAC read, kC, then gone, then kC again.
        std::vector<SweepResult> sweeps = {
            Swept(0, {{7, kA}, {8, kB}}), Swept(5, {{7, kA}}), Swept(10, {{7, ""}}),
            Swept(15, {{7, kC}}),         Swept(20, {}),       Swept(25, {{7, kC}})};
        sweeps[3].hosts[6].name = "printer.lan";
        h.RecordAll(sweeps, SweepSource::Window);
        std::string spans;
        for (const SeenSpan& x : h.Timeline(s, 7))
            spans += std::to_string(x.sweeps) + x.mac + x.name + " ";
        EXPECT_EQ(spans, "3" + std::string(kA) + " 1" + kC + "printer.lan 1" + kC + " ");
        const auto devices = h.Devices(s);  // by the host last seen at, then MAC
        ASSERT_EQ(devices.size(), 3u);
        EXPECT_EQ(devices[0].mac + devices[1].mac + devices[2].mac, std::string(kA) + kC + kB);
        EXPECT_EQ(devices[2].host, 8);
        EXPECT_EQ(devices[1].sweeps, 2);
        EXPECT_EQ(devices[1].name, "printer.lan");
        const auto addresses = h.Addresses(s);
        EXPECT_EQ(addresses[7].mac, kC);
        EXPECT_EQ(addresses[7].change, "up");
        EXPECT_EQ(addresses[7].firstSeen, kStart);
        EXPECT_EQ(addresses[7].deviceFirstSeen, kStart + 15min);
        EXPECT_EQ(addresses[8].change, "");
        EXPECT_FALSE(addresses[9].lastSeen.has_value());
    }
    // Kept for 30 days, the next sweep drops those of 40 days ago, but the
    // devices remember.
    History::Options o;
    o.keepDays = 30;
    History h(path, o);
    SweepResult late = Swept(0, {{7, kC}});
    late.started = std::chrono::system_clock::now();
    h.Record(late, SweepSource::Script);
    const auto subnets = h.Subnets();
    ASSERT_EQ(subnets.size(), 1u);
    EXPECT_EQ(subnets[0].sweeps, 1);
    EXPECT_EQ(subnets[0].devices, 3);
    EXPECT_EQ(h.Timeline(s, 7).size(), 1u);
    EXPECT_EQ(h.Timeline(s, 8).size(), 0u);
    EXPECT_EQ(h.Devices(s)[1].firstSeen, kStart + 15min);
}

TEST(History, ImportsTheKeptSweepsOnceAndLeavesTheFiles) {
    const std::string dir = testsupport::MakeTempDir("kept");
    SweepResult old = Swept(0, {{3, kA}, {4, ""}});
    ASSERT_TRUE(platform::ReplaceFile(dir + "/192.0.2.csv", WriteCsv(old)));
    ASSERT_TRUE(platform::ReplaceFile(dir + "/10.1.2.csv", "not,a,sweep\r\n"));
    const std::string path = Path("import");
    {
        History h(path);
        const auto problems = h.ImportKeptSweeps(dir);
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_NE(problems[0].find(dir + "/10.1.2.csv"), std::string::npos);
        EXPECT_EQ(h.ImportKeptSweeps(dir).size(), 0u);  // once only
        EXPECT_EQ(Record(h, Swept(5, {{3, kA}})), "4:down ");
    }
    EXPECT_EQ(History(path).ImportKeptSweeps(dir).size(), 0u);
    EXPECT_EQ(History(path).Subnets().at(0).sweeps, 2);
    std::string text;
    ASSERT_EQ(platform::ReadAll(dir + "/192.0.2.csv", text), platform::ReadResult::Ok);
    EXPECT_EQ(text, WriteCsv(old));

    // What the reader refuses: a torn file, a row too many, hosts counted twice.
    const std::string whole = WriteCsv(old);
    for (const std::string& junk :
         {whole.substr(0, whole.size() / 2), whole + "1,192.0.2.1,0,1,0,,,,,,\r\n", std::string(""),
          whole.substr(0, whole.find("\r\n") + 2) + whole.substr(whole.find("\r\n") + 2, 20)}) {
        ASSERT_TRUE(platform::ReplaceFile(dir + "/192.0.2.csv", junk));
        std::string problem;
        EXPECT_FALSE(ReadKeptSweep(dir, "192.0.2", problem).has_value());
        EXPECT_NE(problem.find("192.0.2.csv"), std::string::npos) << junk.size();
    }
}

// Every byte of the file at path.
std::string Bytes(const std::string& path) {
    std::string s;
    platform::ReadAll(path, s);
    return s;
}

void Sql(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST(History, LeavesAForeignDamagedOrNewerFileUntouched) {
    using Kind = HistoryError::Kind;
    auto refused = [](const std::string& path) -> std::optional<Kind> {
        const std::string before = Bytes(path);
        std::optional<Kind> kind;
        try {
            History h(path);
            SweepResult r = Swept(0, {{1, kA}});
            h.Record(r, SweepSource::Script);
            h.Devices(Subnet{{192, 0, 2}});
        } catch (const HistoryError& e) {
            kind = e.kind();
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
        EXPECT_EQ(Bytes(path), before) << path;
        return kind;
    };
    const std::string text = Path("text");
    std::ofstream(text) << "my notes\n";
    EXPECT_EQ(refused(text), Kind::Foreign);
    const std::string other = Path("other");
    Sql(other, "CREATE TABLE t(x); INSERT INTO t VALUES(1);");
    EXPECT_EQ(refused(other), Kind::Foreign);
    const std::string newer = Path("newer");
    { History h(newer); }
    Sql(newer, "PRAGMA journal_mode=DELETE; PRAGMA user_version=2;");
    EXPECT_EQ(refused(newer), Kind::Newer);
    // Ours, with a page of its devices overwritten.
    const std::string damaged = Path("damaged");
    {
        History h(damaged);
        for (int i = 0; i < 40; ++i) Record(h, Swept(i, {{1 + i % 200, kA}, {2, kB}}));
    }
    Sql(damaged, "PRAGMA journal_mode=DELETE;");
    std::string bytes = Bytes(damaged);
    ASSERT_GT(bytes.size(), 4 * 4096u);
    for (std::size_t i = 2 * 4096; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    std::ofstream(damaged, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_EQ(refused(damaged), Kind::Damaged);
    // An empty file is a new history.
    const std::string empty = Path("empty");
    std::ofstream{empty};
    EXPECT_EQ(History(empty).Subnets().size(), 0u);
}

TEST(History, ALockedHistoryWaitsBoundedThenSaysWhy) {
    const std::string path = Path("locked");
    { History h(path); }
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    History::Options o;
    o.busyTimeout = 300ms;
    History h(path, o);
    EXPECT_EQ(h.Subnets().size(), 0u);  // readers do not wait for the writer
    const auto before = std::chrono::steady_clock::now();
    try {
        Record(h, Swept(0, {{1, kA}}));
        ADD_FAILURE() << "recorded while another program held the history";
    } catch (const HistoryError& e) {
        EXPECT_EQ(e.kind(), HistoryError::Kind::Busy);
        EXPECT_NE(std::string(e.what()).find("in use by another program; waited 0.3 s"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_GE(std::chrono::steady_clock::now() - before, 300ms);
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    EXPECT_EQ(Record(h, Swept(0, {{1, kA}})), "");
}

// How many sweeps the history at path holds, each checked to be whole (all
// its sightings there), or -1 when it is not a sound database.
int WholeSweeps(const std::string& path) {
    sqlite3* db = nullptr;
    int sweeps = -1;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db,
                           "SELECT (SELECT quick_check FROM pragma_quick_check), count(*), "
                           "sum((SELECT count(*) FROM sightings WHERE sweep = id) = 3) FROM sweeps",
                           -1, &s, nullptr);
        if (s && sqlite3_step(s) == SQLITE_ROW &&
            std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, 0))) == "ok" &&
            sqlite3_column_int(s, 1) == sqlite3_column_int(s, 2))
            sweeps = sqlite3_column_int(s, 1);
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return sweeps;
}

TEST(History, AWriterKilledWhileRecordingLeavesEveryEarlierSweep) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::string path = Path("killed");
        // Records sweeps of three hosts without end.
        const pid_t writer = testsupport::Fork([&] {
            History h(path);
            for (int i = 0;; ++i) Record(h, Swept(i, {{1, kA}, {2, ""}, {3, kB}}));
            return 0;
        });
        ASSERT_GT(writer, 0);
        int before = 0;
        EXPECT_TRUE(testsupport::WaitFor([&] { return (before = WholeSweeps(path)) >= 20; }, 20s));
        std::this_thread::sleep_for(std::chrono::milliseconds(7 * attempt));
        ASSERT_TRUE(testsupport::Signal(writer, SIGKILL));
        EXPECT_EQ(testsupport::Wait(writer), std::optional<int>(128 + SIGKILL));
        EXPECT_GE(WholeSweeps(path), before);
        History h(path);
        EXPECT_EQ(Record(h, Swept(1000000, {{1, kA}, {2, ""}, {3, kB}})), "");
    }
}

TEST(History, AFullDiskLosesNoEarlierSweep) {
    const std::string dir = testsupport::MakeTempDir("full");
    // A small file system of its own, in a mount namespace of the child's own.
    const int code = testsupport::InChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", dir.c_str(), "tmpfs", 0, "size=512k") != 0)
            return 77;
        const std::string path = dir + "/history.db";
        int recorded = 0;
        try {
            History h(path);
            for (; recorded < 100000; ++recorded)
                Record(h, Swept(recorded, {{1, kA}, {2, ""}, {3, kB}}));
            return 1;  // never full
        } catch (const HistoryError& e) {
            if (e.kind() != HistoryError::Kind::Full) return 2;
        }
        return WholeSweeps(path) == recorded && recorded > 5 ? 0 : 3;
    });
    if (code == 77) GTEST_SKIP() << "cannot mount a file system here";
    EXPECT_EQ(code, 0);
}

}  // namespace
