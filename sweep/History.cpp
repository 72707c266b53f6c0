// SPDX-License-Identifier: MIT
#include "sweep/History.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "platform/process/session.h"
#include "sweep/KeptSweeps.h"
#include "sweep/Vendors.h"

namespace sweep {

namespace {

// "VRNX": tells our history from any other SQLite database.
constexpr std::int32_t kApplicationId = 0x56524E58;
constexpr int kSchemaVersion = 1;
constexpr int kHosts = 255;

// Codes stored for how a host was seen and for its change.
enum Seen : int { kSeenNone = 0, kSeenEcho = 1, kSeenArp = 2 };
// A change is stored as 1 + its index in kChangeKinds, none as 0.

std::int64_t Millis(TimePoint t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

TimePoint FromMillis(std::int64_t ms) {
    return TimePoint(
        std::chrono::duration_cast<TimePoint::duration>(std::chrono::milliseconds(ms)));
}

std::int64_t SubnetKey(const Subnet& s) {
    return (std::int64_t{s.octets[0]} << 16) | (std::int64_t{s.octets[1]} << 8) | s.octets[2];
}

Subnet SubnetOfKey(std::int64_t key) {
    Subnet s;
    s.octets = {static_cast<std::uint8_t>(key >> 16), static_cast<std::uint8_t>(key >> 8),
                static_cast<std::uint8_t>(key)};
    return s;
}

// A MAC worth keeping: one that parses and is not all zeros.
std::optional<std::int64_t> MacValue(const std::string& mac) {
    if (!IsKnownMac(mac)) return std::nullopt;
    return static_cast<std::int64_t>(*ParseMac(mac));
}

std::string MacText(std::int64_t value) {
    char text[18];
    const auto v = static_cast<std::uint64_t>(value);
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X",
                  static_cast<unsigned>((v >> 40) & 0xFF), static_cast<unsigned>((v >> 32) & 0xFF),
                  static_cast<unsigned>((v >> 24) & 0xFF), static_cast<unsigned>((v >> 16) & 0xFF),
                  static_cast<unsigned>((v >> 8) & 0xFF), static_cast<unsigned>(v & 0xFF));
    return text;
}

// How a host was seen: a host that answered an echo is there whatever its
// result says of ARP, so results from before ARP presence count too.
int SeenCode(const HostResult& h) {
    if (h.answered > 0 || h.seen == "echo") return kSeenEcho;
    if (h.seen == "arp") return kSeenArp;
    return kSeenNone;
}

int ChangeCode(const std::string& change) {
    for (std::size_t i = 0; i < std::size(kChangeKinds); ++i)
        if (change == kChangeKinds[i]) return static_cast<int>(i) + 1;
    return 0;
}

std::string ChangeText(std::int64_t code) {
    return code > 0 && static_cast<std::size_t>(code) <= std::size(kChangeKinds)
               ? kChangeKinds[static_cast<std::size_t>(code) - 1]
               : "";
}

// The first 100 bytes of an SQLite file hold its magic text, its schema
// version (offset 60) and its application (offset 68), both big-endian.
std::uint32_t BigEndian32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

const char kLeaveIt[] =
    "; it is left as it is (move it away, and the next sweep starts a new history)";

// Read before SQLite opens the file, so that SQLite never touches a file that
// is not one of its databases, nor one of another program.
void CheckHeader(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return;
        throw HistoryError(HistoryError::Kind::Failed,
                           "cannot read the history " + path + ": " + std::strerror(errno));
    }
    struct stat st {};
    unsigned char header[100];
    ssize_t got = 0;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) {
        while (got < static_cast<ssize_t>(sizeof header)) {
            const ssize_t n =
                ::read(fd, header + got, sizeof header - static_cast<std::size_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += n;
        }
    }
    ::close(fd);
    if (regular && got == 0) return;  // an empty file is a new history
    if (!regular || got < static_cast<ssize_t>(sizeof header) ||
        std::memcmp(header, "SQLite format 3", 16) != 0)
        throw HistoryError(HistoryError::Kind::Foreign,
                           "the history " + path + " is not a history of Varnex" + kLeaveIt);
    const std::uint32_t version = BigEndian32(header + 60), application = BigEndian32(header + 68);
    if (application != 0 && application != static_cast<std::uint32_t>(kApplicationId))
        throw HistoryError(HistoryError::Kind::Foreign,
                           "the history " + path + " is another program's database" + kLeaveIt);
    if (version > static_cast<std::uint32_t>(kSchemaVersion))
        throw HistoryError(
            HistoryError::Kind::Newer,
            "the history " + path + " was written by a newer version of Varnex" + kLeaveIt);
}

// The steps that bring a history up to date, one per version: step i makes
// version i + 1 out of version i (0: a new file).
int CreateVersion1(sqlite3* db);
using MigrationStep = int (*)(sqlite3*);  // an SQLite result code
constexpr std::array<MigrationStep, kSchemaVersion> kMigrations = {&CreateVersion1};

}  // namespace

std::string HistoryPath() { return platform::ProfileDir() + "/" + kHistoryFile; }

// ---- the database ----

struct History::Impl {
    sqlite3* db = nullptr;
    std::string path;
    Options options;
    std::unordered_map<std::string, std::int64_t> nameIds;  // of the open transaction

    ~Impl() {
        if (db != nullptr) sqlite3_close_v2(db);
    }

    // Throws the HistoryError for result code rc of `doing`.
    [[noreturn]] void Fail(int rc, const std::string& doing) const {
        using Kind = HistoryError::Kind;
        const std::string where = "the history " + path;
        switch (rc & 0xFF) {
            case SQLITE_BUSY:
            case SQLITE_LOCKED: {
                char waited[32];
                std::snprintf(waited, sizeof waited, "%g s",
                              static_cast<double>(options.busyTimeout.count()) / 1000);
                throw HistoryError(Kind::Busy, where + " is in use by another program; waited " +
                                                   waited + " to " + doing);
            }
            case SQLITE_NOTADB:
                throw HistoryError(Kind::Foreign, where + " is not a history of Varnex" + kLeaveIt);
            case SQLITE_CORRUPT:
                throw HistoryError(Kind::Damaged, where + " is damaged" + kLeaveIt);
            case SQLITE_FULL:
                throw HistoryError(Kind::Full,
                                   "cannot " + doing + " in " + where +
                                       ": the disk is full; the earlier sweeps are kept");
            default: {
                std::string why = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
                const int sys = db != nullptr ? sqlite3_system_errno(db) : 0;
                if (sys != 0) why += std::string(" (") + std::strerror(sys) + ")";
                throw HistoryError(Kind::Failed, "cannot " + doing + " in " + where + ": " + why);
            }
        }
    }

    void Exec(const char* sql, const std::string& doing) {
        const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) Fail(rc, doing);
    }
};

namespace {

using Impl = History::Impl;

// A prepared statement, bound and stepped; every failure throws HistoryError.
class Statement {
  public:
    Statement(Impl& h, const char* sql, const char* doing) : h_(h), doing_(doing) {
        const int rc = sqlite3_prepare_v2(h.db, sql, -1, &s_, nullptr);
        if (rc != SQLITE_OK) h.Fail(rc, doing_);
    }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int i, std::int64_t v) {
        Check(sqlite3_bind_int64(s_, i, v));
        return *this;
    }
    Statement& Bind(int i, const std::optional<std::int64_t>& v) {
        Check(v ? sqlite3_bind_int64(s_, i, *v) : sqlite3_bind_null(s_, i));
        return *this;
    }
    Statement& Bind(int i, const std::string& v) {
        Check(sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
        return *this;
    }
    // True while a row is there.
    bool Step() {
        const int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        sqlite3_reset(s_);
        h_.Fail(rc, doing_);
    }
    // Runs a statement that returns no rows, and makes it ready again.
    void Run() {
        while (Step()) {
        }
        Reset();
    }
    void Reset() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    std::int64_t Int(int col) const { return sqlite3_column_int64(s_, col); }
    std::optional<std::int64_t> MaybeInt(int col) const {
        if (sqlite3_column_type(s_, col) == SQLITE_NULL) return std::nullopt;
        return Int(col);
    }
    std::string Text(int col) const {
        const auto* p = sqlite3_column_text(s_, col);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(s_, col)))
                 : std::string();
    }

  private:
    void Check(int rc) {
        if (rc != SQLITE_OK) h_.Fail(rc, doing_);
    }
    Impl& h_;
    sqlite3_stmt* s_ = nullptr;
    const char* doing_;
};

// One transaction: rolled back unless committed. A write transaction takes
// the write lock at once, so two sweeps recording at the same time take turns
// instead of failing half-way.
class Transaction {
  public:
    Transaction(Impl& h, bool write, const char* doing) : h_(h), doing_(doing) {
        h.Exec(write ? "BEGIN IMMEDIATE" : "BEGIN", doing);
    }
    ~Transaction() {
        h_.nameIds.clear();
        // SQLite may have rolled back already (a full disk, an I/O error).
        if (!committed_ && !sqlite3_get_autocommit(h_.db))
            sqlite3_exec(h_.db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        h_.Exec("COMMIT", doing_);
        committed_ = true;
    }

  private:
    Impl& h_;
    const char* doing_;
    bool committed_ = false;
};

int CreateVersion1(sqlite3* db) {
    // Only hosts that were seen, or went down, get a row: a sweep of a LAN
    // with 40 devices costs 40 rows, not 255. MACs are 48-bit numbers, names
    // are kept once in `names`, subnets are A << 16 | B << 8 | C, times are
    // milliseconds since 1970 (UTC).
    static const char kSchema[] =
        "CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;"
        "CREATE TABLE sweeps(id INTEGER PRIMARY KEY, subnet INTEGER NOT NULL,"
        " started INTEGER NOT NULL, rounds INTEGER NOT NULL, source INTEGER NOT NULL);"
        "CREATE INDEX sweeps_subnet ON sweeps(subnet);"
        "CREATE INDEX sweeps_started ON sweeps(started);"
        "CREATE TABLE names(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);"
        "CREATE TABLE sightings(sweep INTEGER NOT NULL, host INTEGER NOT NULL,"
        " answered INTEGER NOT NULL, seen INTEGER NOT NULL, mac INTEGER, name INTEGER,"
        " change INTEGER NOT NULL, PRIMARY KEY(sweep, host)) WITHOUT ROWID;"
        "CREATE TABLE spans(subnet INTEGER NOT NULL, host INTEGER NOT NULL,"
        " first_sweep INTEGER NOT NULL, first INTEGER NOT NULL, last_sweep INTEGER NOT NULL,"
        " last INTEGER NOT NULL, sweeps INTEGER NOT NULL, mac INTEGER, name INTEGER,"
        " PRIMARY KEY(subnet, host, first_sweep)) WITHOUT ROWID;"
        "CREATE INDEX spans_last ON spans(last);"
        "CREATE TABLE devices(subnet INTEGER NOT NULL, mac INTEGER NOT NULL,"
        " first INTEGER NOT NULL, last INTEGER NOT NULL, host INTEGER NOT NULL, name INTEGER,"
        " sweeps INTEGER NOT NULL, PRIMARY KEY(subnet, mac)) WITHOUT ROWID;";
    return sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
}

std::int64_t Pragma(Impl& h, const char* sql) {
    Statement s(h, sql, "read the history's version");
    return s.Step() ? s.Int(0) : 0;
}

// What the subnet's last recorded sweep saw, per host.
struct LastSweep {
    std::optional<std::int64_t> id;
    std::array<bool, kHosts + 1> seen{};
    std::array<std::optional<std::int64_t>, kHosts + 1> mac{};
    std::unordered_map<std::int64_t, std::vector<int>> hostsOf;  // by MAC
};

}  // namespace

History::History(const std::string& path) : History(path, Options{}) {}

History::History(const std::string& path, const Options& options)
    : impl_(std::make_unique<Impl>()) {
    Impl& h = *impl_;
    h.path = path;
    h.options = options;
    CheckHeader(path);
    const int rc =
        sqlite3_open_v2(path.c_str(), &h.db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) h.Fail(rc, "open it");
    sqlite3_extended_result_codes(h.db, 1);
    sqlite3_busy_timeout(h.db, static_cast<int>(options.busyTimeout.count()));
    // No statement may rewrite the schema behind SQLite's back.
    sqlite3_db_config(h.db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(h.db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    // Each sweep is on the disk when its transaction ends, as a kept file was.
    h.Exec("PRAGMA synchronous=FULL", "open it");

    // The header's check again, now through SQLite: it also sees a change
    // still in the write-ahead log.
    std::int64_t version = Pragma(h, "PRAGMA user_version");
    const std::int64_t application = Pragma(h, "PRAGMA application_id");
    if (version > kSchemaVersion)
        throw HistoryError(
            HistoryError::Kind::Newer,
            "the history " + path + " was written by a newer version of Varnex" + kLeaveIt);
    if (application != kApplicationId &&
        (application != 0 || Pragma(h, "SELECT count(*) FROM sqlite_schema") != 0))
        throw HistoryError(HistoryError::Kind::Foreign,
                           "the history " + path + " is another program's database" + kLeaveIt);
    if (version < kSchemaVersion) {
        Transaction t(h, true, "bring it up to date");
        // Another program may have done it meanwhile.
        version = Pragma(h, "PRAGMA user_version");
        for (; version < kSchemaVersion; ++version)
            if (const int step = kMigrations[static_cast<std::size_t>(version)](h.db);
                step != SQLITE_OK)
                h.Fail(step, "bring it up to date");
        h.Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str(),
               "bring it up to date");
        h.Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(),
               "bring it up to date");
        t.Commit();
        // Readers never wait for a sweep being recorded, nor it for them. It
        // stays once set; a history that someone switched back is left so.
        sqlite3_exec(h.db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    }
}

History::~History() = default;
History::History(History&&) noexcept = default;
History& History::operator=(History&&) noexcept = default;

const std::string& History::Path() const { return impl_->path; }

namespace {

LastSweep LoadLastSweep(Impl& h, std::int64_t subnet) {
    LastSweep last;
    Statement id(h, "SELECT max(id) FROM sweeps WHERE subnet=?", "read the last sweep");
    id.Bind(1, subnet);
    if (id.Step()) last.id = id.MaybeInt(0);
    if (!last.id) return last;
    Statement rows(h, "SELECT host, seen, mac FROM sightings WHERE sweep=?", "read the last sweep");
    rows.Bind(1, *last.id);
    while (rows.Step()) {
        const std::int64_t host = rows.Int(0);
        if (host < 1 || host > kHosts || rows.Int(1) == kSeenNone) continue;
        const auto i = static_cast<std::size_t>(host);
        last.seen[i] = true;
        last.mac[i] = rows.MaybeInt(2);
        if (last.mac[i]) last.hostsOf[*last.mac[i]].push_back(static_cast<int>(host));
    }
    return last;
}

void Mark(Impl& h, SweepResult& r, std::int64_t subnet, const LastSweep& last) {
    for (HostResult& x : r.hosts) {
        x.change.clear();
        x.previousMac.clear();
        x.previousIp.clear();
    }
    Statement any(h, "SELECT 1 FROM devices WHERE subnet=? LIMIT 1", "read the devices");
    any.Bind(1, subnet);
    const bool devicesKnown = any.Step();
    if (!last.id && !devicesKnown) return;  // the subnet's first sweep: nothing to compare with
    Statement known(h, "SELECT 1 FROM devices WHERE subnet=? AND mac=?", "read the devices");
    // Where each MAC is now: a device still at an address of the last sweep
    // has not moved, whatever other address it answers at too.
    std::unordered_map<std::int64_t, std::vector<int>> hostsNow;
    for (const HostResult& x : r.hosts)
        if (SeenCode(x) != kSeenNone)
            if (const auto mac = MacValue(x.mac)) hostsNow[*mac].push_back(x.host);
    for (HostResult& x : r.hosts) {
        if (x.host < 1 || x.host > kHosts) continue;
        const auto i = static_cast<std::size_t>(x.host);
        const bool now = SeenCode(x) != kSeenNone;
        if (!now) {
            if (last.seen[i]) x.change = "down";
            continue;
        }
        if (const auto mac = MacValue(x.mac)) {
            // A privacy address is new to every network it visits: it alone
            // never makes a device new.
            if (devicesKnown && !LocallyAdministered(x.mac)) {
                known.Bind(1, subnet).Bind(2, *mac);
                const bool seenBefore = known.Step();
                known.Reset();
                if (!seenBefore) {
                    x.change = "new";
                    continue;
                }
            }
            if (const auto at = last.hostsOf.find(*mac); at != last.hostsOf.end()) {
                const std::vector<int>& now = hostsNow[*mac];
                const bool stayed = std::any_of(at->second.begin(), at->second.end(), [&](int n) {
                    return std::find(now.begin(), now.end(), n) != now.end();
                });
                if (!stayed) {
                    x.change = "moved";
                    x.previousIp = r.subnet + "." + std::to_string(at->second.front());
                    continue;
                }
            }
            if (last.seen[i] && last.mac[i] && *last.mac[i] != *mac) {
                x.change = "mac";
                x.previousMac = MacText(*last.mac[i]);
                continue;
            }
        }
        if (last.id && !last.seen[i]) x.change = "up";
    }
}

std::optional<std::int64_t> NameId(Impl& h, const std::string& name) {
    if (name.empty()) return std::nullopt;
    if (const auto it = h.nameIds.find(name); it != h.nameIds.end()) return it->second;
    Statement add(h, "INSERT INTO names(name) VALUES(?) ON CONFLICT(name) DO NOTHING",
                  "record the sweep");
    add.Bind(1, name).Run();
    Statement id(h, "SELECT id FROM names WHERE name=?", "record the sweep");
    id.Bind(1, name);
    if (!id.Step()) return std::nullopt;
    const std::int64_t value = id.Int(0);
    h.nameIds.emplace(name, value);
    return value;
}

Subnet SubnetOf(const SweepResult& r) {
    const auto subnet = ParseSubnet(r.subnet);
    if (!subnet) throw std::invalid_argument("History: not a subnet: " + r.subnet);
    return *subnet;
}

void RecordOne(Impl& h, SweepResult& r, SweepSource source) {
    const char* doing = "record the sweep";
    const std::int64_t subnet = SubnetKey(SubnetOf(r));
    const LastSweep last = LoadLastSweep(h, subnet);
    Mark(h, r, subnet, last);

    const std::int64_t started = Millis(r.started);
    Statement sweep(h, "INSERT INTO sweeps(subnet, started, rounds, source) VALUES(?,?,?,?)",
                    doing);
    sweep.Bind(1, subnet)
        .Bind(2, started)
        .Bind(3, r.rounds)
        .Bind(4, static_cast<int>(source))
        .Run();
    const std::int64_t id = sqlite3_last_insert_rowid(h.db);

    Statement sighting(h,
                       "INSERT INTO sightings(sweep, host, answered, seen, mac, name, change)"
                       " VALUES(?,?,?,?,?,?,?)",
                       doing);
    Statement span(h,
                   "SELECT first_sweep, last_sweep, mac FROM spans WHERE subnet=? AND host=?"
                   " ORDER BY first_sweep DESC LIMIT 1",
                   doing);
    Statement extend(h,
                     "UPDATE spans SET last_sweep=?, last=?, sweeps=sweeps+1,"
                     " mac=coalesce(?, mac), name=coalesce(?, name)"
                     " WHERE subnet=? AND host=? AND first_sweep=?",
                     doing);
    Statement open(h,
                   "INSERT INTO spans(subnet, host, first_sweep, first, last_sweep, last, sweeps,"
                   " mac, name) VALUES(?,?,?,?,?,?,1,?,?)",
                   doing);
    Statement device(
        h,
        "INSERT INTO devices(subnet, mac, first, last, host, name, sweeps) VALUES(?,?,?,?,?,?,1)"
        " ON CONFLICT(subnet, mac) DO UPDATE SET first=min(first, excluded.first),"
        " host=CASE WHEN excluded.last >= last THEN excluded.host ELSE host END,"
        " name=CASE WHEN excluded.last >= last THEN coalesce(excluded.name, name)"
        " ELSE coalesce(name, excluded.name) END,"
        " last=max(last, excluded.last), sweeps=sweeps+1",
        doing);
    std::unordered_set<std::int64_t> devicesSeen;
    for (const HostResult& x : r.hosts) {
        if (x.host < 1 || x.host > kHosts) continue;
        const int seen = SeenCode(x);
        const int change = ChangeCode(x.change);
        if (seen == kSeenNone && change == 0) continue;
        const auto mac = seen != kSeenNone ? MacValue(x.mac) : std::nullopt;
        const auto name = seen != kSeenNone ? NameId(h, x.name) : std::nullopt;
        sighting.Bind(1, id).Bind(2, x.host).Bind(3, x.answered).Bind(4, seen);
        sighting.Bind(5, mac).Bind(6, name).Bind(7, change).Run();
        if (seen == kSeenNone) continue;

        // The address's span goes on while every sweep since its start saw it
        // and no two known MACs differ.
        span.Bind(1, subnet).Bind(2, x.host);
        bool extended = false;
        if (span.Step() && last.id && span.Int(1) == *last.id) {
            const auto spanMac = span.MaybeInt(2);
            if (!mac || !spanMac || *mac == *spanMac) {
                const std::int64_t first = span.Int(0);
                span.Reset();
                extend.Bind(1, id).Bind(2, started).Bind(3, mac).Bind(4, name);
                extend.Bind(5, subnet).Bind(6, x.host).Bind(7, first).Run();
                extended = true;
            }
        }
        span.Reset();
        if (!extended) {
            open.Bind(1, subnet).Bind(2, x.host).Bind(3, id).Bind(4, started).Bind(5, id);
            open.Bind(6, started).Bind(7, mac).Bind(8, name).Run();
        }
        if (mac && devicesSeen.insert(*mac).second) {
            device.Bind(1, subnet).Bind(2, *mac).Bind(3, started).Bind(4, started);
            device.Bind(5, x.host).Bind(6, name).Run();
        }
    }
}

void DropOldSweeps(Impl& h) {
    const char* doing = "drop the sweeps older than the kept days";
    const auto keep = std::chrono::hours(24) * h.options.keepDays;
    const std::int64_t cutoff = Millis(std::chrono::system_clock::now() - keep);
    Statement sightings(
        h, "DELETE FROM sightings WHERE sweep IN (SELECT id FROM sweeps WHERE started < ?)", doing);
    sightings.Bind(1, cutoff).Run();
    Statement sweeps(h, "DELETE FROM sweeps WHERE started < ?", doing);
    sweeps.Bind(1, cutoff).Run();
    Statement spans(h, "DELETE FROM spans WHERE last < ?", doing);
    spans.Bind(1, cutoff).Run();
}

}  // namespace

void History::Record(SweepResult& r, SweepSource source) {
    Transaction t(*impl_, true, "record the sweep");
    RecordOne(*impl_, r, source);
    DropOldSweeps(*impl_);
    t.Commit();
}

void History::RecordAll(std::vector<SweepResult>& results, SweepSource source) {
    Transaction t(*impl_, true, "record the sweeps");
    for (SweepResult& r : results) RecordOne(*impl_, r, source);
    DropOldSweeps(*impl_);
    t.Commit();
}

void History::MarkChanges(SweepResult& r) {
    Transaction t(*impl_, false, "read the last sweep");
    const std::int64_t subnet = SubnetKey(SubnetOf(r));
    Mark(*impl_, r, subnet, LoadLastSweep(*impl_, subnet));
    t.Commit();
}

std::vector<std::string> History::ImportKeptSweeps(const std::string& folder) {
    Impl& h = *impl_;
    const char* doing = "import the kept sweeps";
    Transaction t(h, true, doing);
    Statement done(h, "SELECT 1 FROM meta WHERE key='kept sweeps imported'", doing);
    if (done.Step()) return {};
    std::vector<std::string> problems;
    std::vector<SweepResult> kept;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string file = entry.path().filename().string();
        if (!file.ends_with(".csv")) continue;
        const auto subnet = ParseSubnet(std::string_view(file).substr(0, file.size() - 4));
        if (!subnet) continue;
        std::string problem;
        if (auto r = ReadKeptSweep(folder, subnet->Text(), problem)) kept.push_back(std::move(*r));
        if (!problem.empty()) problems.push_back(problem);
    }
    std::sort(kept.begin(), kept.end(),
              [](const SweepResult& a, const SweepResult& b) { return a.started < b.started; });
    // Old ones stay until the next sweep is recorded: only a sweep knows
    // how many days to keep.
    for (SweepResult& r : kept) RecordOne(h, r, SweepSource::Imported);
    Statement mark(h, "INSERT INTO meta(key, value) VALUES('kept sweeps imported', ?)", doing);
    mark.Bind(1, Millis(std::chrono::system_clock::now())).Run();
    t.Commit();
    return problems;
}

std::vector<SubnetRecord> History::Subnets() {
    Impl& h = *impl_;
    const char* doing = "read the subnets";
    Transaction t(h, false, doing);
    std::map<std::int64_t, SubnetRecord> found;
    Statement sweeps(h,
                     "SELECT subnet, count(*), min(started), max(started) FROM sweeps"
                     " GROUP BY subnet",
                     doing);
    while (sweeps.Step()) {
        SubnetRecord& s = found[sweeps.Int(0)];
        s.sweeps = sweeps.Int(1);
        s.first = FromMillis(sweeps.Int(2));
        s.last = FromMillis(sweeps.Int(3));
    }
    Statement devices(h, "SELECT subnet, count(*) FROM devices GROUP BY subnet", doing);
    while (devices.Step()) found[devices.Int(0)].devices = devices.Int(1);
    t.Commit();
    std::vector<SubnetRecord> out;
    for (auto& [key, s] : found) {
        s.subnet = SubnetOfKey(key);
        out.push_back(s);
    }
    return out;
}

std::vector<DeviceRecord> History::Devices(const Subnet& subnet) {
    Impl& h = *impl_;
    const char* doing = "read the devices";
    Transaction t(h, false, doing);
    Statement s(h,
                "SELECT d.mac, d.host, n.name, d.first, d.last, d.sweeps FROM devices d"
                " LEFT JOIN names n ON n.id = d.name WHERE d.subnet=? ORDER BY d.host, d.mac",
                doing);
    s.Bind(1, SubnetKey(subnet));
    std::vector<DeviceRecord> out;
    while (s.Step())
        out.push_back(DeviceRecord{MacText(s.Int(0)), static_cast<int>(s.Int(1)), s.Text(2),
                                   FromMillis(s.Int(3)), FromMillis(s.Int(4)), s.Int(5)});
    t.Commit();
    return out;
}

std::vector<SeenSpan> History::Timeline(const Subnet& subnet, int host) {
    Impl& h = *impl_;
    const char* doing = "read the address's sightings";
    Transaction t(h, false, doing);
    Statement s(h,
                "SELECT s.first, s.last, s.sweeps, s.mac, n.name FROM spans s"
                " LEFT JOIN names n ON n.id = s.name WHERE s.subnet=? AND s.host=?"
                " ORDER BY s.first_sweep",
                doing);
    s.Bind(1, SubnetKey(subnet)).Bind(2, host);
    std::vector<SeenSpan> out;
    // An address that comes and goes has thousands of spans, mostly of one MAC.
    std::optional<std::int64_t> lastMac;
    std::string lastMacText;
    while (s.Step()) {
        const auto mac = s.MaybeInt(3);
        if (mac && mac != lastMac) {
            lastMac = mac;
            lastMacText = MacText(*mac);
        }
        out.push_back(SeenSpan{FromMillis(s.Int(0)), FromMillis(s.Int(1)), s.Int(2),
                               mac ? lastMacText : "", s.Text(4)});
    }
    t.Commit();
    return out;
}

std::vector<AddressRecord> History::Addresses(const Subnet& subnet) {
    Impl& h = *impl_;
    const char* doing = "read the addresses";
    Transaction t(h, false, doing);
    const std::int64_t key = SubnetKey(subnet);
    std::vector<AddressRecord> out(kHosts + 1);
    // Three seeks per address on the spans' key rather than a walk through
    // every span of the subnet: an address that comes and goes has thousands.
    Statement first(
        h, "SELECT first FROM spans WHERE subnet=? AND host=? ORDER BY first_sweep LIMIT 1", doing);
    Statement latest(h,
                     "SELECT last FROM spans WHERE subnet=? AND host=?"
                     " ORDER BY first_sweep DESC LIMIT 1",
                     doing);
    Statement mac(h,
                  "SELECT mac FROM spans WHERE subnet=? AND host=? AND mac IS NOT NULL"
                  " ORDER BY first_sweep DESC LIMIT 1",
                  doing);
    Statement device(h, "SELECT first FROM devices WHERE subnet=? AND mac=?", doing);
    for (int host = 1; host <= kHosts; ++host) {
        AddressRecord& a = out[static_cast<std::size_t>(host)];
        first.Bind(1, key).Bind(2, host);
        if (first.Step()) a.firstSeen = FromMillis(first.Int(0));
        first.Reset();
        if (!a.firstSeen) continue;
        latest.Bind(1, key).Bind(2, host);
        if (latest.Step()) a.lastSeen = FromMillis(latest.Int(0));
        latest.Reset();
        mac.Bind(1, key).Bind(2, host);
        const std::optional<std::int64_t> known = mac.Step() ? mac.MaybeInt(0) : std::nullopt;
        mac.Reset();
        if (!known) continue;
        a.mac = MacText(*known);
        device.Bind(1, key).Bind(2, *known);
        if (device.Step()) a.deviceFirstSeen = FromMillis(device.Int(0));
        device.Reset();
    }
    const LastSweep last = LoadLastSweep(h, key);
    if (last.id) {
        Statement changes(h, "SELECT host, change FROM sightings WHERE sweep=?", doing);
        changes.Bind(1, *last.id);
        while (changes.Step()) {
            const std::int64_t host = changes.Int(0);
            if (host >= 1 && host <= kHosts)
                out[static_cast<std::size_t>(host)].change = ChangeText(changes.Int(1));
        }
    }
    t.Commit();
    return out;
}

History OpenHistory(std::vector<std::string>& warnings, const History::Options& options) {
    History history(HistoryPath(), options);
    for (std::string& w : history.ImportKeptSweeps(KeptSweepsFolder()))
        warnings.push_back(std::move(w));
    return history;
}

std::string RecordSweep(SweepResult& r, SweepSource source, std::vector<std::string>& warnings,
                        const History::Options& options) {
    for (HostResult& h : r.hosts) h.change = h.previousMac = h.previousIp = "";
    std::optional<History> history;
    try {
        history.emplace(OpenHistory(warnings, options));
    } catch (const HistoryError& e) {
        return e.what();
    }
    return RecordSweep(*history, r, source);
}

std::string RecordSweep(History& history, SweepResult& r, SweepSource source) {
    for (HostResult& h : r.hosts) h.change = h.previousMac = h.previousIp = "";
    try {
        history.Record(r, source);
        return "";
    } catch (const HistoryError& e) {
        if (e.kind() != HistoryError::Kind::Damaged) {
            try {
                history.MarkChanges(r);
            } catch (const HistoryError&) {
                // Nothing more to tell than the first problem.
            }
        }
        return e.what();
    }
}

}  // namespace sweep
