// SPDX-License-Identifier: MIT
// The sweep engine: hands every host number a command at once, polls the 255
// slots, counts the rounds each host answered, repeats for the rounds asked
// for, and gives every host its final colour. Qt-free: the window (or any
// other owner, a headless sweep included) drives it and is told what to show
// through SweepListener.
//
// The owner calls DoPing to start, and Timer1_Timer every 50 ms while
// Sweeping(). A round closes at the first poll that finds no host outstanding,
// so one poll after the last final state; the grid is repainted once per round
// and once at the end, never by a plain poll.
//
// A failing call into a proxy (Morvel gone) stops the sweep and marks the
// proxies broken; the owner gives fresh ones with ReplacePings.
//
// No round waits without end: a host still outstanding LateLimit() after its
// command counts as not answered for that round. A host whose worker did not
// take its command in that time, or that reported "X", has a stopped worker:
// the owner is told at the end of the sweep (WorkersStopped), and the worker
// is started again before the host's next command.
//
// With a Presence, a round also asks who answered ARP: a host that did not
// answer the echo but answered ARP counts that round as seen by ARP only,
// with the MAC of its reply. The first time a host is seen in a sweep, by
// echo or by ARP, the owner hears of it (HostSeen), at once.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sweep/Ping.h"
#include "sweep/Presence.h"

namespace sweep {

// Colours the engine stores in a host's `color` (BGR, &H00BBGGRR).
inline constexpr std::int32_t kColorIdle = 0x00C8C8C8;
inline constexpr std::int32_t kColorBusy = 0x00646464;
inline constexpr std::int32_t kColorGreen = 0x0000FF00;
inline constexpr std::int32_t kColorRed = 0x000000FF;
inline constexpr std::int32_t kColorYellow = 0x0000FFFF;

// The final colour of a host that answered k of roundCount rounds.
std::int32_t FinalColor(std::int32_t k, std::int32_t roundCount);

// What a sweep is asked for, parsed where it is typed: each octet as a number
// (the window's boxes may hold any number, the script's only 0 to 255); the
// round count, nothing when the count box holds no count of at least 1 (the
// sweep then runs once, and the box is shown "1"); whether to read the MACs.
struct SweepInput {
    std::array<double, 3> octets{192, 168, 0};
    std::optional<std::int32_t> rounds = 1;
    bool mac = false;
};

// An octet box's text as a sweep takes it: the number it spells, else 0.
double OctetOf(const std::string& box);
// The count box's text as a sweep takes it: its number to the nearest
// integer, halves to even; nothing below 1, for no number or beyond 32 bits.
std::optional<std::int32_t> RoundCountOf(const std::string& box);

// What the engine asks of its owner. Every hook has a default that does
// nothing, so a headless owner overrides only what it needs.
class SweepListener {
  public:
    virtual ~SweepListener() = default;
    // Before every round: the octets and the MAC flag as they are now (the
    // window re-reads its boxes, so a change during a sweep takes effect from
    // the next round).
    virtual void RefreshInput(SweepInput& input) { (void)input; }
    // At the start of a sweep: store the entry as typed; the remark of an address.
    virtual void SaveEntry() {}
    virtual std::string Remark(const std::string& ip) {
        (void)ip;
        return {};
    }
    virtual void ShowCount(const std::string& text) { (void)text; }
    virtual void ShowRow(int host, const std::string& row) { (void)host, (void)row; }
    virtual void ShowProgressMax(std::int32_t max) { (void)max; }
    virtual void ShowProgress(std::int32_t value) { (void)value; }
    // RefIp at once (start of a sweep); a repaint of the grid (round or sweep end).
    virtual void RefreshGrid() {}
    virtual void RepaintGrid() {}
    virtual void EnableCommand(bool on) { (void)on; }
    virtual void EnableTimer(bool on) { (void)on; }
    virtual void FocusLastOctet() {}
    // The sweep stopped because a proxy failed; `what` says why.
    virtual void SweepFailed(const std::string& what) { (void)what; }
    // At the end of a sweep: the hosts (ascending) whose worker was found
    // stopped; their rounds without a final state counted as not answered.
    virtual void WorkersStopped(const std::vector<int>& hosts) { (void)hosts; }
    // The first time in this sweep that host answered an echo or ARP.
    virtual void HostSeen(int host) { (void)host; }
    // A sweep ran its last round: the final colours are set and the grid repainted.
    virtual void SweepDone() {}
};

// "3, 7, 9", at most the first 20 numbers, then "and N more".
std::string HostList(const std::vector<int>& hosts);

// A host's remark as the window keeps it in Ps.ini.
std::string RemarkFromProfile(const std::string& ip);

class Sweep {
  public:
    static constexpr int kHosts = 255;
    using Clock = std::chrono::steady_clock;
    // The worker's tick, and what a loaded machine may add to a command's
    // turn-around before the host is given up for the round.
    static constexpr std::chrono::milliseconds kTick{50};
    static constexpr std::chrono::milliseconds kLateMargin{2000};

    explicit Sweep(SweepListener& listener) : listener_(listener) {}

    // The 255 proxies: pings[i] serves host i, pings[0] stays empty.
    void SetPings(std::vector<std::unique_ptr<Ping>> pings);
    // New proxies for broken ones, keeping each host's colour, MAC, remark and address.
    void ReplacePings(std::vector<std::unique_ptr<Ping>> pings);
    // Sends every worker its stop command; a worker whose Morvel is gone needs none.
    void ClosePings();
    // Drops the proxies (the window's close), stopping any sweep.
    void ReleasePings();
    bool HasHosts() const { return !pings_.empty(); }
    Ping& Host(int n) { return *pings_.at(static_cast<std::size_t>(n)); }
    const Ping& Host(int n) const { return *pings_.at(static_cast<std::size_t>(n)); }

    void DoPing(const SweepInput& input);
    void PingIt();
    void Timer1_Timer();
    // Halts the poll without a final colouring (the window closing).
    void Stop();

    // The workers' echo time-out (200 ms unless set): a host is given up
    // LateLimit() = tick + time-out + margin after its command.
    void SetEchoTimeout(std::chrono::milliseconds timeout) { echoTimeout_ = timeout; }
    std::chrono::milliseconds LateLimit() const { return kTick + echoTimeout_ + kLateMargin; }
    // Who answered ARP in each round; none (the default) asks no one. The
    // owner keeps it alive while it is set.
    void SetPresence(Presence* presence) { presence_ = presence; }
    // Rounds of this sweep in which host n answered ARP but not the echo, and
    // the MAC of its last such reply.
    std::int32_t ArpRounds(int n) const { return arpRounds_.at(static_cast<std::size_t>(n)); }
    const std::string& ArpMac(int n) const { return arpMac_.at(static_cast<std::size_t>(n)); }
    // Tests drive the engine's clock; an empty function restores the real one.
    void SetClockForTesting(std::function<Clock::time_point()> now);

    bool Sweeping() const { return timerOn_; }
    bool Broken() const { return broken_; }
    std::int32_t RoundNo() const { return RoundNo_; }
    std::int32_t RoundCount() const { return RoundCount_; }
    // The MAC host n gave in its last answered round of this sweep that asked
    // for one, "" when none: Ping::Mac is overwritten by every later round.
    const std::string& AnsweredMac(int n) const {
        return answeredMac_.at(static_cast<std::size_t>(n));
    }

    // "A.B.C.", the address of every host of the octets but its number.
    static std::string Prefix(const std::array<double, 3>& octets);
    static std::string Address(const std::array<double, 3>& octets, int n) {
        return Prefix(octets) + std::to_string(n);
    }
    // The host rows of List1: the padded number; then its MAC and remark.
    static std::string BareRow(int n);
    std::string FullRow(int n) const;

  private:
    void SetTimer(bool on);
    void Failed(const std::string& what);
    // Host i leaves the round unanswered; `stopped` when its worker did not serve it.
    void GiveUp(int i, bool stopped);
    void Seen(int i);
    // At a round's end: the hosts that answered ARP but not the echo.
    void TakePresence();

    SweepListener& listener_;
    std::vector<std::unique_ptr<Ping>> pings_;
    SweepInput input_;
    std::int32_t RoundNo_ = 0;
    std::int32_t RoundCount_ = 0;
    bool timerOn_ = false;
    bool broken_ = false;
    std::chrono::milliseconds echoTimeout_{200};
    std::function<Clock::time_point()> now_;
    Clock::time_point issued_{};  // when the round's commands went out
    std::set<int> stopped_;       // this sweep's hosts with a stopped worker
    std::set<int> restart_;       // workers to start again before their next command
    std::vector<std::string> answeredMac_ = std::vector<std::string>(kHosts + 1);
    Presence* presence_ = nullptr;
    std::vector<std::int32_t> arpRounds_ = std::vector<std::int32_t>(kHosts + 1);
    std::vector<std::string> arpMac_ = std::vector<std::string>(kHosts + 1);
    std::vector<char> echoed_ = std::vector<char>(kHosts + 1);  // answered in this round
    std::vector<char> seen_ = std::vector<char>(kHosts + 1);    // in this sweep
};

}  // namespace sweep
