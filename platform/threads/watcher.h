// SPDX-License-Identifier: MIT
// The watcher behind WatchTimer (apartment.h): one thread per process that
// reads the watched byte of every watched timer of every apartment once per
// interval, and at once when the session's doorbell rings, and lets a timer
// tick only when its byte holds one of the characters it waits for. Its
// thread runs only while some timer is watched, so a process that ends its
// last apartment also ends the watcher and lets go of the doorbell's block.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class Doorbell;
struct Gate;

// What lets a watched timer tick: the apartment loop that runs it.
class GateOwner {
  public:
    // Called by the watcher when the gate's byte holds a wanted character.
    virtual void Fire(Gate& gate) = 0;

  protected:
    ~GateOwner() = default;
};

// A watched timer's link to the watcher, shared by both.
struct Gate {
    GateOwner* owner;  // valid while watched: the loop ends the watch before it ends
    unsigned char* byte;
    std::string wanted;
    std::chrono::milliseconds interval;
    // A timer's first tick comes one interval after its start.
    std::chrono::steady_clock::time_point notBefore;
    std::atomic<bool> fired{false};  // set by the watcher under the loop's mutex
};

class Watcher {
  public:
    // Never destroyed: a thread may still be in it while the process exits.
    static Watcher& Get();
    // False when the watcher's thread cannot start.
    bool Add(const std::shared_ptr<Gate>& gate);
    void Remove(const std::shared_ptr<Gate>& gate);
    void SetTestPeriod(std::chrono::milliseconds period);

  private:
    using Clock = std::chrono::steady_clock;
    Watcher() = default;
    void Run(const std::shared_ptr<Doorbell>& bell, const std::shared_ptr<std::atomic<bool>>& stop);
    void Scan(Clock::time_point now);  // under mutex_
    Clock::duration Period() const;    // under mutex_
    void Rouse();                      // under mutex_: the thread looks again

    std::mutex mutex_;
    std::vector<std::shared_ptr<Gate>> gates_;
    std::thread thread_;
    std::shared_ptr<std::atomic<bool>> stop_;  // the running thread's
    std::shared_ptr<Doorbell> bell_;           // the running thread's, null without a doorbell
    std::atomic<std::uint32_t> local_{0};      // slept on when there is no doorbell
    std::chrono::milliseconds testPeriod_{0};
};

// Ends a timer's watch when the timer goes, whichever way it goes.
struct Watch {
    std::shared_ptr<Gate> gate;
    Watch() = default;
    Watch(Watch&&) = default;
    Watch& operator=(Watch&& other) noexcept {
        if (this != &other) {
            End();
            gate = std::move(other.gate);
        }
        return *this;
    }
    ~Watch() { End(); }
    void End() {
        if (gate) Watcher::Get().Remove(gate);
        gate.reset();
    }
};

}  // namespace platform
