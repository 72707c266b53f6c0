// SPDX-License-Identifier: MIT
// The ping worker: one object serves one slot. Create(ID) opens slot
// "PingIP<ID>" and starts a 50 ms timer; every tick reads the state character
// and, for a command, runs one echo, optionally looks up the MAC, and writes
// the outcome (see contract/slot.h for the layout and the orders of writes).
//
// Each worker lives in an apartment of its own: its slot object and the
// address of the command in progress are kept per apartment, and its ticks and
// calls run one at a time on that apartment's thread, so an echo blocks only
// this worker.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "worker/Timer.h"

class CCShareString;

namespace worker {

class ClassPing {
  public:
    ClassPing() = default;
    ~ClassPing();  // releasing Timer1 stops its thread timer
    ClassPing(const ClassPing&) = delete;
    ClassPing& operator=(const ClassPing&) = delete;

    // The echo's time-out unless Create is given one, and its bounds.
    static constexpr std::int32_t kDefaultTimeoutMs = 200;
    static constexpr std::int32_t kMinTimeoutMs = 50;
    static constexpr std::int32_t kMaxTimeoutMs = 5000;

    // Opens slot ID (a host number, 1 to 255) and serves it every 50 ms, each
    // echo waiting timeoutMs for its reply; on a serving or stopped worker it
    // starts again with a new timer. Throws std::out_of_range for any other
    // number or a time-out outside its bounds, before anything changes.
    void Create(std::int32_t ID, std::int32_t timeoutMs = kDefaultTimeoutMs);
    // Stops the ticks; nothing is written into the slot.
    void StopIt();

    // One tick: the handler of Timer1's event.
    void Timer1_Timer();

    // The worker's timer; null until Create.
    const Timer* Timer1() const { return Timer1_.get(); }

  private:
    std::unique_ptr<Timer> Timer1_;
    std::int32_t timeoutMs_ = kDefaultTimeoutMs;
};

// The calling apartment's slot object (SlotBlock) and the address of its
// command in progress (TargetIp).
CCShareString& SlotBlock();
std::string& TargetIp();

// The echo and the MAC lookup a tick uses. Tests replace them to reach
// answers, silence and errors without a network; null restores the real ones.
struct Net {
    bool (*PingHost)(const std::string& address, std::uint32_t timeoutMs);
    std::string (*LookupMac)(const std::string& address);
};
void SetNetForTesting(const Net* net);

}  // namespace worker
