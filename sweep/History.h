// SPDX-License-Identifier: MIT
// The history of sweeps: every sweep of a subnet, the window's and the
// script's, in one SQLite database beside the profile files ("history.db",
// WAL mode, one transaction per sweep), and what changed from one sweep to the
// next. Per sweep it holds the subnet, start time and rounds, and per host
// that was seen (or went down) its answered rounds, how it was seen, its MAC
// and its name; per subnet the devices (MACs) ever seen there, whose first and
// last sightings outlive the sweeps dropped after the kept days; per address
// the spans of consecutive sweeps that saw it with one MAC.
//
// A file that is not a history of this program, is damaged or was written by
// a newer version is reported and never written. Qt-free; one History per
// thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sweep/SweepOptions.h"
#include "sweep/SweepReport.h"

namespace sweep {

inline constexpr const char* kHistoryFile = "history.db";

// <the profile files' folder>/history.db.
std::string HistoryPath();

enum class SweepSource { Script, Window, Imported };

// Why the history cannot be used; what() is one line that names the file.
class HistoryError : public std::runtime_error {
  public:
    enum class Kind {
        Busy,     // another program held it longer than the wait
        Foreign,  // not a history of this program (another file, another program's database)
        Newer,    // written by a newer version
        Damaged,  // a history of ours that SQLite finds damaged
        Full,     // no room left on the disk
        Failed,   // any other failure (permissions, I/O)
    };
    HistoryError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

using TimePoint = std::chrono::system_clock::time_point;

// A device: a MAC seen in a subnet.
struct DeviceRecord {
    std::string mac;   // "02-00-00-00-00-07"
    int host = 0;      // the host number it was last seen at
    std::string name;  // the last name seen with it, "" without one
    TimePoint firstSeen, lastSeen;
    std::int64_t sweeps = 0;  // sweeps that saw it, those dropped after the kept days included
};

// Consecutive sweeps of a subnet that saw one address with one MAC (or with
// none known): the address's timeline is a list of them, gaps between.
struct SeenSpan {
    TimePoint from, to;
    std::int64_t sweeps = 0;  // sweeps in the span, each of which saw the address
    std::string mac;          // "" when no sweep of the span read it
    std::string name;         // the last name seen in the span
};

struct SubnetRecord {
    Subnet subnet;
    std::int64_t sweeps = 0;  // kept sweeps
    std::optional<TimePoint> first, last;
    std::int64_t devices = 0;
};

// What the history knows of one address, for the window's host details.
struct AddressRecord {
    std::optional<TimePoint> firstSeen, lastSeen;  // within the kept sweeps
    std::string mac;                               // the MAC it was last seen with, "" unknown
    std::optional<TimePoint> deviceFirstSeen;      // that MAC's first sighting in the subnet
    std::string change;                            // its change in the subnet's last sweep
};

class History {
  public:
    struct Options {
        // How long a write waits for another program's transaction to end.
        std::chrono::milliseconds busyTimeout{5000};
        // Sweeps older than this many days go when the next one is recorded.
        std::int32_t keepDays = kDefaultKeepDays;
    };

    // Opens the history at path, creating it (and bringing an older one up to
    // date) when needed. Throws HistoryError.
    explicit History(const std::string& path);
    History(const std::string& path, const Options& options);
    ~History();
    History(History&&) noexcept;
    History& operator=(History&&) noexcept;

    const std::string& Path() const;

    // Imports the kept sweeps of earlier versions (<folder>/A.B.C.csv) once
    // in the history's life, leaving the files as they are. Returns a line per
    // file that could not be imported.
    std::vector<std::string> ImportKeptSweeps(const std::string& folder);

    // Sets each host's change (and, for "mac" and "moved", what it was
    // before) against the subnet's last recorded sweep and the devices known
    // there, then records the sweep, in one transaction; sweeps older than
    // the kept days go in the same transaction. The first sweep of a subnet
    // marks nothing; "new" needs a device known in the subnet before.
    // r.subnet is "A.B.C" (std::invalid_argument otherwise).
    void Record(SweepResult& r, SweepSource source);
    // The same for many sweeps in one transaction, oldest first.
    void RecordAll(std::vector<SweepResult>& results, SweepSource source);
    // Only sets the changes, as Record would (the history is not written).
    void MarkChanges(SweepResult& r);

    // Every subnet with a kept sweep or a known device, in address order.
    std::vector<SubnetRecord> Subnets();
    // The devices known in subnet, by the host number they were last seen at.
    std::vector<DeviceRecord> Devices(const Subnet& subnet);
    // The sightings of host n of subnet, oldest first.
    std::vector<SeenSpan> Timeline(const Subnet& subnet, int host);
    // Every address of subnet, indexed by host number (0 unused).
    std::vector<AddressRecord> Addresses(const Subnet& subnet);

    struct Impl;  // the open database (History.cpp)

  private:
    std::unique_ptr<Impl> impl_;
};

// The history at HistoryPath() with the kept sweeps imported; their problems
// go to `warnings`. Throws HistoryError.
History OpenHistory(std::vector<std::string>& warnings, const History::Options& options = {});

// What every sweep does once it is over, the window's and the script's: opens
// the history at HistoryPath() (importing the kept sweeps the first time),
// marks r's changes and records it. "" when it is recorded; otherwise the
// reason, and the changes then come from what the history still lets read
// (none when it cannot be opened or is damaged). Kept sweeps that could not be
// imported are told in `warnings`, a line each. Never throws HistoryError;
// throws std::invalid_argument when r.subnet is not "A.B.C".
std::string RecordSweep(SweepResult& r, SweepSource source, std::vector<std::string>& warnings,
                        const History::Options& options = {});

// The same in a history already open (the window reads it again afterwards).
std::string RecordSweep(History& history, SweepResult& r, SweepSource source);

}  // namespace sweep
