// SPDX-License-Identifier: MIT
#include "sweep/Sweep.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>

#include "contract/slot.h"
#include "settings/ini.h"
#include "sweep/Func.h"
#include "sweep/Vendors.h"

namespace sweep {

std::int32_t FinalColor(std::int32_t k, std::int32_t roundCount) {
    if (k == roundCount) return kColorGreen;
    if (k == 0) return kColorRed;
    double p = std::floor((static_cast<double>(k) / roundCount * 0.8 + 0.1) * 100);
    return MixColor(kColorRed, kColorGreen, p);
}

double OctetOf(const std::string& box) { return NumOr(Value(box), 0.0); }

std::optional<std::int32_t> RoundCountOf(const std::string& box) {
    std::optional<std::int32_t> count = RoundToInt32(NumOr(Value(box), 0.0));
    if (!count || *count < 1) return std::nullopt;
    return count;
}

std::string RemarkFromProfile(const std::string& ip) {
    return settings::ReadIni("PS", ip, settings::IniPath(settings::kPsIni));
}

std::string HostList(const std::vector<int>& hosts) {
    constexpr std::size_t kShown = 20;
    std::string text;
    for (std::size_t i = 0; i < hosts.size() && i < kShown; ++i)
        text += (i ? ", " : "") + std::to_string(hosts[i]);
    if (hosts.size() > kShown) text += " and " + std::to_string(hosts.size() - kShown) + " more";
    return text;
}

void Sweep::SetPings(std::vector<std::unique_ptr<Ping>> pings) {
    pings_ = std::move(pings);
    broken_ = false;
    restart_.clear();  // fresh proxies come with fresh workers
}

void Sweep::SetClockForTesting(std::function<Clock::time_point()> now) { now_ = std::move(now); }

void Sweep::ReplacePings(std::vector<std::unique_ptr<Ping>> pings) {
    for (std::size_t i = 1; i < pings.size() && i < pings_.size(); ++i) {
        pings[i]->color = pings_[i]->color;
        pings[i]->Mac = pings_[i]->Mac;
        pings[i]->Ps = pings_[i]->Ps;
        pings[i]->IP = pings_[i]->IP;
    }
    SetPings(std::move(pings));
}

void Sweep::ClosePings() {
    for (std::size_t i = 1; i < pings_.size(); ++i) {
        try {
            pings_[i]->ClosePing();
        } catch (const std::exception&) {
            // Morvel gone already: its worker needs no stop command.
        }
    }
}

void Sweep::ReleasePings() {
    Stop();
    pings_.clear();
}

std::string Sweep::Prefix(const std::array<double, 3>& octets) {
    std::string a;
    for (double o : octets) a += FormatNumber(o) + ".";
    return a;
}

std::string Sweep::BareRow(int n) { return PadRight(Value(n), 4, " "); }

std::string Sweep::FullRow(int n) const {
    const Ping& p = Host(n);
    return PadRight(Value(n), 4, " ") + PadRight(Value(p.Mac), 20, " ") + p.Ps;
}

void Sweep::SetTimer(bool on) {
    if (timerOn_ == on) return;
    timerOn_ = on;
    listener_.EnableTimer(on);
}

void Sweep::Stop() { SetTimer(false); }

void Sweep::DoPing(const SweepInput& input) {
    if (pings_.empty()) return;
    input_ = input;
    listener_.SaveEntry();
    const std::string prefix = Prefix(input_.octets);
    for (int i = 1; i <= kHosts; ++i) {
        Ping& p = Host(i);
        p.OKCount = 0;
        answeredMac_.at(static_cast<std::size_t>(i)).clear();
        p.IP = prefix + std::to_string(i);
        p.Ps = listener_.Remark(p.IP);
        listener_.ShowRow(i, BareRow(i));
    }
    listener_.RefreshGrid();

    // No count of at least 1: the sweep runs once.
    if (!input_.rounds || *input_.rounds < 1) {
        RoundCount_ = 1;
        listener_.ShowCount("1");
    } else {
        RoundCount_ = *input_.rounds;
    }
    listener_.ShowProgressMax(RoundCount_);
    RoundNo_ = 1;
    stopped_.clear();
    std::fill(arpRounds_.begin(), arpRounds_.end(), 0);
    std::fill(arpMac_.begin(), arpMac_.end(), std::string());
    std::fill(seen_.begin(), seen_.end(), 0);
    PingIt();
    if (!timerOn_) return;  // the round could not be issued
    listener_.EnableCommand(false);
}

void Sweep::PingIt() {
    // The octets and the MAC flag as they are now, not as the sweep began.
    listener_.RefreshInput(input_);
    const std::string prefix = Prefix(input_.octets);
    try {
        // A worker found stopped serves again from its next command on.
        for (int i : restart_) Host(i).RestartWorker();
        restart_.clear();
        // Before the echoes: the kernel's own ARP for them falls in the round.
        if (presence_) presence_->RoundStarts();
        std::fill(echoed_.begin(), echoed_.end(), 0);
        for (int i = 1; i <= kHosts; ++i) {
            Host(i).PingIP(prefix + std::to_string(i), input_.mac);
            Host(i).Pinging = true;
        }
    } catch (const std::exception& e) {
        Failed(e.what());
        return;
    }
    issued_ = now_ ? now_() : Clock::now();
    SetTimer(true);
}

void Sweep::GiveUp(int i, bool stopped) {
    Ping& p = Host(i);
    p.Pinging = false;
    p.color = kColorRed;
    if (stopped) {
        stopped_.insert(i);
        restart_.insert(i);
    }
}

void Sweep::Seen(int i) {
    if (seen_[static_cast<std::size_t>(i)]) return;
    seen_[static_cast<std::size_t>(i)] = 1;
    listener_.HostSeen(i);
}

void Sweep::TakePresence() {
    if (!presence_) return;
    for (const auto& [i, mac] : presence_->RoundSeen()) {
        if (i < 1 || i > kHosts || echoed_[static_cast<std::size_t>(i)]) continue;
        arpRounds_[static_cast<std::size_t>(i)] += 1;
        arpMac_[static_cast<std::size_t>(i)] = mac;
        Seen(i);
    }
}

void Sweep::Timer1_Timer() {
    if (pings_.empty()) {
        SetTimer(false);
        return;
    }
    bool complete = true;
    // Past it, a host still outstanding is given up for this round.
    const bool late = (now_ ? now_() : Clock::now()) - issued_ > LateLimit();
    try {
        for (int i = 1; i <= kHosts; ++i) {
            Ping& p = Host(i);
            if (!p.Pinging) continue;
            // Open until the poll after the last final state.
            complete = false;
            const std::int32_t state = p.GetPing();
            switch (state) {
                case slot::kStateAnswered:
                    p.Pinging = false;
                    p.color = kColorGreen;
                    p.OKCount += 1;
                    p.GetMac();
                    // A round without "M" leaves the slot's MAC of an earlier sweep.
                    if (input_.mac && IsKnownMac(p.Mac))
                        answeredMac_.at(static_cast<std::size_t>(i)) = p.Mac;
                    listener_.ShowRow(i, FullRow(i));
                    echoed_[static_cast<std::size_t>(i)] = 1;
                    Seen(i);
                    break;
                case slot::kStateSilent:
                    p.Pinging = false;
                    p.color = kColorRed;
                    p.GetMac();
                    break;
                case slot::kStatePing:
                case slot::kStateClose:
                    p.color = kColorBusy;
                    break;
                case slot::kStateBusy:
                    p.color = kColorYellow;
                    break;
                case slot::kStateStopped:
                    p.Pinging = false;
                    stopped_.insert(i);
                    restart_.insert(i);
                    break;
                default:  // "M" or nothing known yet
                    break;
            }
            // A command not taken by now has no worker serving it; an echo
            // still running (state "D") is only late.
            if (late && p.Pinging) GiveUp(i, state != slot::kStateBusy);
        }
    } catch (const std::exception& e) {
        Failed(e.what());
        return;
    }
    listener_.ShowProgress(RoundNo_);
    if (!complete) return;
    try {
        TakePresence();
    } catch (const std::exception& e) {
        Failed(e.what());
        return;
    }
    if (RoundNo_ < RoundCount_) {
        listener_.RepaintGrid();
        RoundNo_ += 1;
        PingIt();
        return;
    }
    SetTimer(false);
    listener_.EnableCommand(true);
    listener_.FocusLastOctet();
    for (int i = 1; i <= kHosts; ++i) Host(i).color = FinalColor(Host(i).OKCount, RoundCount_);
    listener_.ShowProgress(0);
    listener_.RepaintGrid();
    if (!stopped_.empty())
        listener_.WorkersStopped(std::vector<int>(stopped_.begin(), stopped_.end()));
    listener_.SweepDone();
}

void Sweep::Failed(const std::string& what) {
    SetTimer(false);
    broken_ = true;
    for (std::size_t i = 1; i < pings_.size(); ++i) pings_[i]->Pinging = false;
    listener_.EnableCommand(true);
    listener_.ShowProgress(0);
    listener_.RepaintGrid();
    listener_.SweepFailed(what);
}

}  // namespace sweep
