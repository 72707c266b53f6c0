// SPDX-License-Identifier: MIT
// The window's proxy for one host number: it owns that host's ping worker in
// Morvel and its own reference to the host's slot, and carries the state the
// main window keeps per host. Every failure to reach Morvel arrives as
// platform::objects::ObjectError.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "sweep/value.h"

namespace platform {
class Doorbell;
}
namespace platform::objects {
class Ref;
}
class CCShareString;

namespace sweep {

class Ping {
  public:
    Ping();
    // The slot operations are virtual: the sweep engine's tests stand in a
    // scripted slot for Morvel.
    virtual ~Ping();
    Ping(const Ping&) = delete;
    Ping& operator=(const Ping&) = delete;

    Value color;               // the cell's colour (BGR), empty at first
    bool Pinging = false;      // a command is out and no final state seen yet
    std::int32_t OKCount = 0;  // rounds of this sweep the host answered
    std::string Mac;           // MAC text last read from the slot
    std::string Ps;            // the host's remark
    std::string IP;            // the host's address for this sweep

    // Writes the address field, then the command character ("M" with mac, else "P"),
    // then rings the session's doorbell so that the worker takes it at once.
    // Throws ObjectError before the ID is set.
    virtual void PingIP(const std::string& ip, bool mac);
    // Reads the MAC field into Mac, zero characters removed.
    virtual void GetMac();
    std::int32_t ID() const { return id_; }
    // Creates the worker and calls its Create(n), then opens the slot "PingIP<n>".
    // Throws ObjectError when Morvel cannot be reached, n is not 1 to 255, or
    // the slot cannot be opened.
    void SetID(std::int32_t n);
    // The worker's echo time-out in milliseconds, given to it by SetID and
    // RestartWorker from then on; 0 (the default) leaves the worker's own.
    void SetEchoTimeout(std::int32_t ms) { echoTimeoutMs_ = ms; }
    // The slot's state number: 1 "D", 2 "X", 3 "0", 4 "1", 5 "P", 6 "A", 7 "M", else 0.
    // Read from this process's own view of the slot; only a command outstanding
    // for half a second makes it ask Morvel (at most twice a second, waiting at
    // most a second), so a dead, stopped or hung Morvel ends a sweep with
    // ObjectError instead of a wait without end.
    virtual std::int32_t GetPing();
    // Writes the close command "A" and rings the doorbell.
    virtual void ClosePing();
    // Starts a worker that stopped ("X": another holder of the slot closed
    // it) serving again: its Create(ID) once more. Nothing before the ID is set.
    virtual void RestartWorker();

  private:
    void Ring();  // the session's doorbell, after a command byte

    std::unique_ptr<platform::objects::Ref> worker_;
    std::unique_ptr<platform::objects::Ref> slotRef_;  // keeps Morvel's object on the slot
    std::unique_ptr<CCShareString> slot_;              // the same block, opened here
    std::shared_ptr<platform::Doorbell> bell_;         // opened on the first command
    bool bellTried_ = false;
    std::int32_t id_ = 0;
    std::int32_t echoTimeoutMs_ = 0;
    // Create(n), with the echo time-out when one is set.
    void CreateWorker(std::int32_t n);
    // When Morvel was last known to be there; a command outstanding longer than
    // a few ticks makes GetPing ask it, so a dead Morvel surfaces as an error.
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastCheck_{};
};

}  // namespace sweep
