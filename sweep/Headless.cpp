// SPDX-License-Identifier: MIT
#include "sweep/Headless.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/net/reverse_names.h"
#include "platform/objects/objects.h"
#include "platform/process/session.h"
#include "sweep/Findings.h"
#include "sweep/History.h"
#include "sweep/Sweep.h"
#include "sweep/SweepReport.h"
#include "sweep/Vendors.h"
#include "sweep/Workers.h"

namespace sweep {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);

class HeadlessOwner : public SweepListener {
  public:
    HeadlessOwner(const std::function<void(int)>& beforeRound, std::function<void(int)> seen)
        : beforeRound_(beforeRound), seen_(std::move(seen)) {}

    const std::string& Failure() const { return failure_; }

    void RefreshInput(SweepInput& input) override {
        (void)input;
        ++round_;
        if (beforeRound_) beforeRound_(round_);
    }
    std::string Remark(const std::string& ip) override { return RemarkFromProfile(ip); }
    void SweepFailed(const std::string& what) override { failure_ = what; }
    void WorkersStopped(const std::vector<int>& hosts) override { stopped_ = hosts; }
    const std::vector<int>& Stopped() const { return stopped_; }
    void HostSeen(int host) override { seen_(host); }

  private:
    const std::function<void(int)>& beforeRound_;
    std::function<void(int)> seen_;
    std::string failure_;
    std::vector<int> stopped_;
    int round_ = 0;
};

std::string Unreachable(const WorkerStart& start) {
    std::string why = "cannot reach the worker host " + start.morvel + ": ";
    if (start.startError != 0)
        return why + "it cannot be started (" + std::strerror(start.startError) + ")";
    why += "host " + std::to_string(start.failedHost) + ": " + start.failure;
    if (start.regCode && *start.regCode != 0)
        why +=
            " (its registration run ended with exit code " + std::to_string(*start.regCode) + ")";
    else if (!start.regCode)
        why += " (its registration run did not end in time)";
    return why;
}

SweepInput InputOf(const SweepOptions& options) {
    SweepInput input;
    for (std::size_t i = 0; i < input.octets.size(); ++i)
        input.octets[i] = options.subnet.octets[i];
    input.rounds = options.rounds;
    input.mac = options.mac;
    return input;
}

// Marks the changes and records the sweep in the history. "" when it is
// recorded; otherwise the reason, also told on `err`. The changes then come
// from what the history holds, where it can still be read.
std::string Record(SweepResult& result, const SweepOptions& options, std::ostream& err) {
    History::Options settings;
    settings.keepDays = options.keepDays;
    std::vector<std::string> warnings;
    std::string problem = RecordSweep(result, SweepSource::Script, warnings, settings);
    for (const std::string& w : warnings) err << "Tessor: " << w << "\n";
    if (!problem.empty()) err << "Tessor: " << problem << "; this sweep is not recorded\n";
    return problem;
}

void Release(Sweep& sweep) {
    sweep.ClosePings();
    sweep.ReleasePings();
}

// After its last round a sweep waits no longer than this for host names.
constexpr auto kNamesWait = std::chrono::seconds(1);

}  // namespace

int RunSweep(const SweepOptions& options, std::ostream& out, std::ostream& err) {
    return RunSweep(options, out, err, {});
}

int RunSweepAlone(const SweepOptions& options, std::ostream& out, std::ostream& err) {
    std::optional<platform::PrivateSession> session;
    try {
        session.emplace();
    } catch (const std::exception& e) {
        err << "Tessor: cannot make a session of its own for the sweep: " << e.what() << "\n";
        return 1;
    }
    const int code = RunSweep(options, out, err);
    // Every object is released: the session's worker host ends now (or is
    // ended, when stopped or hung), so its folder can go with nothing in use.
    platform::objects::EndPrivateServer(std::chrono::milliseconds(500));
    return code;
}

int RunSweep(const SweepOptions& options, std::ostream& out, std::ostream& err,
             const std::function<void(int)>& beforeRound) {
    const auto started = std::chrono::system_clock::now();
    const auto t0 = std::chrono::steady_clock::now();
    // The registry files take tens of milliseconds to index: do it while the
    // workers start and the echoes are out.
    std::future<Vendors> vendors =
        std::async(std::launch::async, [] { return Vendors::Load(kIeeeDataFolder); });

    // The resolver configuration is read now; look-ups start as hosts are seen.
    platform::ReverseNames names;
    if (!names.Problem().empty()) err << "Tessor: no host names: " << names.Problem() << "\n";
    const platform::Subnet24 subnet = options.subnet.octets;

    WorkerStart start = StartWorkers(std::chrono::seconds(10), options.timeoutMs);
    if (!start.ok()) {
        err << "Tessor: " << Unreachable(start) << "\n";
        return 1;
    }
    // A worker host that may send no echo would report every host silent, and
    // that result, recorded, would mark every host "up" at the next sweep.
    try {
        const std::string problem = EchoProblem();
        if (!problem.empty()) {
            err << "Tessor: " << start.morvel
                << " cannot send echoes, so nothing was swept: " << problem << "\n";
            return 1;
        }
    } catch (const std::exception& e) {
        err << "Tessor: cannot reach the worker host " << start.morvel << ": " << e.what() << "\n";
        return 1;
    }
    std::optional<ArpPresence> presence;
    try {
        presence.emplace(subnet);
    } catch (const std::exception& e) {
        err << "Tessor: cannot reach the worker host " << start.morvel << ": " << e.what() << "\n";
        return 1;
    }
    HeadlessOwner owner(beforeRound,
                        [&](int host) { names.Start(platform::HostAddress(subnet, host)); });
    Sweep sweep(owner);
    sweep.SetPings(std::move(start.pings));
    sweep.SetPresence(&*presence);
    sweep.SetEchoTimeout(std::chrono::milliseconds(options.timeoutMs));
    sweep.DoPing(InputOf(options));
    while (sweep.Sweeping()) {
        std::this_thread::sleep_for(kPollInterval);
        sweep.Timer1_Timer();
    }
    const auto namesDeadline = std::chrono::steady_clock::now() + kNamesWait;
    if (sweep.Broken()) {
        Release(sweep);
        err << "Tessor: lost the worker host during the sweep: " << owner.Failure() << "\n";
        return 1;
    }
    // Hosts without an answer from their worker have no result; a recorded
    // sweep with them as "down" would spoil the next one's changes.
    if (!owner.Stopped().empty()) {
        Release(sweep);
        err << "Tessor: the workers of hosts " << HostList(owner.Stopped())
            << " stopped during the sweep, so their result is unknown; nothing is recorded\n";
        return 1;
    }

    SweepResult result = GatherResult(sweep, options.subnet.Text(), started, vendors.get());
    result.changes = options.changes;
    Release(sweep);
    presence.reset();
    // Names still out after the bound stay empty.
    names.Wait(namesDeadline);
    for (HostResult& h : result.hosts)
        if (h.seen != "none") h.name = names.Name(platform::HostAddress(subnet, h.host));

    // Recorded before it is printed: a reader that closes the pipe early must
    // not lose the sweep.
    std::string problem = Record(result, options, err);
    if (!options.changes) {
        for (HostResult& h : result.hosts) h.change = h.previousMac = h.previousIp = "";
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::string report;
    switch (options.format) {
        case ReportFormat::Json:
            report = WriteJson(result);
            break;
        case ReportFormat::Csv:
            report = WriteCsv(result);
            break;
        case ReportFormat::Text:
            report = WriteText(result);
            break;
    }
    out << report << std::flush;
    if (!out) {
        err << "Tessor: the report could not be written\n";
        return 1;
    }
    if (!problem.empty()) return 1;
    for (const HostResult& h : result.hosts)
        if (std::find(options.failOn.begin(), options.failOn.end(), h.change) !=
            options.failOn.end())
            return kExitChanged;
    return 0;
}

}  // namespace sweep
