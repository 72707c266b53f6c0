// SPDX-License-Identifier: MIT
#include "sweep/HistoryReport.h"

#include <filesystem>
#include <optional>

#include "sweep/Csv.h"
#include "sweep/KeptSweeps.h"

namespace sweep {

namespace {

// One record's fields, in the order of the CSV columns and the JSON keys.
using Record = std::vector<ReportField>;

std::string Time(const std::optional<TimePoint>& t) { return t ? Iso8601Utc(*t) : ""; }

std::string Csv(const std::vector<Record>& records, const Record& header) {
    std::string out;
    AppendCsvNames(out, header);
    for (const Record& r : records) AppendCsvValues(out, r);
    return out;
}

// {"<head...>", "<key>": [records]}; `head` are the object's first fields.
std::string Json(const Record& head, const char* key, const std::vector<Record>& records) {
    std::string out = "{";
    AppendJsonFields(out, head);
    if (!head.empty()) out += ", ";
    AppendJsonString(out, key);
    out += ": [";
    const char* sep = "\n  {";
    for (const Record& r : records) {
        out += sep;
        sep = ",\n  {";
        AppendJsonFields(out, r);
        out += "}";
    }
    out += "\n]}\n";
    return out;
}

std::string Plural(std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string PadTo(std::string s, std::size_t width) {
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

// Joins the texts of a line for people, each made one line, without blanks at
// the end.
std::string Line(const std::vector<std::string>& parts) {
    std::string line;
    for (const std::string& p : parts) {
        if (p.empty()) continue;
        line += (line.empty() ? "" : "  ") + OneLine(p);
    }
    return line + "\n";
}

Record SubnetFields(const SubnetRecord& s) {
    return {{"subnet", s.subnet.Text(), false},
            {"sweeps", std::to_string(s.sweeps), true},
            {"first", Time(s.first), false},
            {"last", Time(s.last), false},
            {"devices", std::to_string(s.devices), true}};
}

Record DeviceFields(const Subnet& subnet, const DeviceRecord& d, const Vendors& vendors) {
    return {{"mac", d.mac, false},
            {"vendor", vendors.Lookup(d.mac), false},
            {"ip", subnet.Text() + "." + std::to_string(d.host), false},
            {"name", d.name, false},
            {"first_seen", Iso8601Utc(d.firstSeen), false},
            {"last_seen", Iso8601Utc(d.lastSeen), false},
            {"sweeps", std::to_string(d.sweeps), true},
            {"local_mac", LocallyAdministered(d.mac) ? "true" : "false", true}};
}

Record SpanFields(const SeenSpan& s) {
    return {{"from", Iso8601Utc(s.from), false},
            {"to", Iso8601Utc(s.to), false},
            {"sweeps", std::to_string(s.sweeps), true},
            {"mac", s.mac, false},
            {"name", s.name, false}};
}

const char kLocalNote[] = "* a locally administered MAC, such as a randomised privacy address\n";

}  // namespace

std::string WriteSubnets(const std::vector<SubnetRecord>& subnets, ReportFormat format) {
    std::vector<Record> records;
    for (const SubnetRecord& s : subnets) records.push_back(SubnetFields(s));
    if (format == ReportFormat::Csv) return Csv(records, SubnetFields({}));
    if (format == ReportFormat::Json) return Json({}, "subnets", records);
    // The subnet first, so that a script (the completion) takes the first word.
    std::string out;
    for (const SubnetRecord& s : subnets)
        out += Line({PadTo(s.subnet.Text(), 11), Plural(s.sweeps, "sweep", "sweeps"),
                     s.first ? Time(s.first) + " to " + Time(s.last) : "",
                     Plural(s.devices, "device", "devices")});
    return out;
}

std::string WriteDevices(const Subnet& subnet, const std::vector<DeviceRecord>& devices,
                         const Vendors& vendors, ReportFormat format) {
    std::vector<Record> records;
    for (const DeviceRecord& d : devices) records.push_back(DeviceFields(subnet, d, vendors));
    if (format == ReportFormat::Csv) return Csv(records, DeviceFields(subnet, {}, vendors));
    if (format == ReportFormat::Json)
        return Json({{"subnet", subnet.Text(), false}}, "devices", records);
    std::string out;
    bool marked = false;
    for (const DeviceRecord& d : devices) {
        const bool local = LocallyAdministered(d.mac);
        marked = marked || local;
        out += Line({d.mac + (local ? "*" : " ") + " " +
                         PadTo(subnet.Text() + "." + std::to_string(d.host), 15),
                     Iso8601Utc(d.firstSeen) + " to " + Iso8601Utc(d.lastSeen),
                     Plural(d.sweeps, "sweep", "sweeps"), d.name, vendors.Lookup(d.mac)});
    }
    out += subnet.Text() +
           ".0/24: " + Plural(static_cast<std::int64_t>(devices.size()), "device", "devices") +
           " known\n";
    if (marked) out += kLocalNote;
    return out;
}

std::string WriteTimeline(const Subnet& subnet, int host, const std::vector<SeenSpan>& spans,
                          ReportFormat format) {
    const std::string ip = subnet.Text() + "." + std::to_string(host);
    std::vector<Record> records;
    for (const SeenSpan& s : spans) records.push_back(SpanFields(s));
    if (format == ReportFormat::Csv) return Csv(records, SpanFields({}));
    if (format == ReportFormat::Json) return Json({{"ip", ip, false}}, "seen", records);
    std::string out;
    std::int64_t sweeps = 0;
    for (const SeenSpan& s : spans) {
        sweeps += s.sweeps;
        out += Line({Iso8601Utc(s.from) + " to " + Iso8601Utc(s.to),
                     PadTo(Plural(s.sweeps, "sweep", "sweeps"), 12),
                     s.mac.empty() ? "(MAC not read)" : s.mac, s.name});
    }
    out += ip + ": " +
           (spans.empty() ? std::string("not seen in the kept sweeps")
                          : "seen in " + Plural(sweeps, "sweep", "sweeps") + ", " +
                                Plural(static_cast<std::int64_t>(spans.size()), "span", "spans")) +
           "\n";
    return out;
}

int ShowHistory(const HistoryOptions& options, std::ostream& out, std::ostream& err) {
    std::string report;
    try {
        // Without a history or kept sweeps to import there is nothing to
        // show, and no reason to create a file.
        std::error_code ec;
        const bool none = !std::filesystem::exists(HistoryPath(), ec) &&
                          !std::filesystem::exists(KeptSweepsFolder(), ec);
        std::optional<History> history;
        std::vector<std::string> warnings;
        if (!none) history.emplace(OpenHistory(warnings));
        for (const std::string& w : warnings) err << "Tessor: " << w << "\n";
        if (!options.subnet) {
            report = WriteSubnets(history ? history->Subnets() : std::vector<SubnetRecord>{},
                                  options.format);
        } else if (options.host == 0) {
            const auto devices =
                history ? history->Devices(*options.subnet) : std::vector<DeviceRecord>{};
            const Vendors vendors = devices.empty() ? Vendors() : Vendors::Load(kIeeeDataFolder);
            report = WriteDevices(*options.subnet, devices, vendors, options.format);
        } else {
            report = WriteTimeline(*options.subnet, options.host,
                                   history ? history->Timeline(*options.subnet, options.host)
                                           : std::vector<SeenSpan>{},
                                   options.format);
        }
    } catch (const HistoryError& e) {
        err << "Tessor: " << e.what() << "\n";
        return 1;
    }
    out << report << std::flush;
    if (!out) {
        err << "Tessor: the report could not be written\n";
        return 1;
    }
    return 0;
}

}  // namespace sweep
