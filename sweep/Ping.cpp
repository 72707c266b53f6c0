// SPDX-License-Identifier: MIT
#include "sweep/Ping.h"

#include <algorithm>
#include <vector>

#include "contract/CCShareString.h"
#include "contract/classes.h"
#include "contract/slot.h"
#include "platform/objects/objects.h"
#include "platform/threads/doorbell.h"
#include "platform/threads/shared_block.h"

namespace sweep {

using platform::objects::Arg;

namespace {

// How long a command may stay outstanding before a poll asks Morvel whether it
// is still there. A healthy worker answers within one tick plus the echo's
// time-out, so this costs little in a normal round; a dead Morvel would
// otherwise leave the sweep waiting for ever, and a stopped one is found
// within this plus kLivenessLimit.
constexpr auto kLivenessCheck = std::chrono::milliseconds(500);
// How long the check may hold the window thread: a Morvel that is stopped or
// hung answers nothing, and is then reported as lost.
constexpr auto kLivenessLimit = std::chrono::milliseconds(1000);
// Opening a worker and a slot takes Morvel milliseconds; the window's thread
// waits no longer than this for either.
constexpr auto kSetupLimit = std::chrono::milliseconds(1000);

}  // namespace

Ping::Ping() = default;
Ping::~Ping() = default;

void Ping::SetID(std::int32_t n) {
    // The worker opens the slot first, so it is the block's first opener.
    if (!worker_)
        worker_ = platform::objects::CreateObject(morvel::kClassPingClsid, morvel::kClassPingIid);
    CreateWorker(n);

    const std::string name = slot::Name(n);
    if (!slotRef_)
        slotRef_ =
            platform::objects::CreateObject(morvel::kCCShareStringClsid, morvel::kCCShareStringIid);
    std::vector<Arg> open{Arg(name), Arg(slot::kSize)};
    const Arg opened = slotRef_->Call(morvel::CCShareStringMember::Create, open, kSetupLimit);

    // The same block opened here: polls and commands never cross the process
    // boundary, while Morvel's object keeps the block alive as well.
    if (!slot_) slot_ = std::make_unique<CCShareString>();
    // A slot that failed to open would read "no command" for ever and the
    // sweep would wait on this host without end: say so now instead.
    if (opened != Arg(true)) {
        const Arg code = slotRef_->Call(morvel::CCShareStringMember::LastErr);
        const auto* err = std::get_if<std::int32_t>(&code);
        throw platform::objects::ObjectError(
            "Morvel could not open the slot " + name + ": " +
            platform::FileMapping::ErrorText(err ? static_cast<std::uint32_t>(*err) : 0, name));
    }
    if (!slot_->Create(name, slot::kSize))
        throw platform::objects::ObjectError(
            "cannot open the slot " + name + ": " +
            platform::FileMapping::ErrorText(static_cast<std::uint32_t>(slot_->LastErr()), name));
    id_ = n;
}

void Ping::PingIP(const std::string& ip, bool mac) {
    if (!slot_) throw platform::objects::ObjectError("Ping.PingIP: the proxy has no ID yet");
    // The address first: the worker never sees a command without its address.
    slot_->setStr(slot::AddressField(ip), slot::kAddressPos);
    slot_->WriteByte(mac ? slot::kPingMac : slot::kPing, slot::kStatePos);
    Ring();
    lastCheck_ = Clock::now();
}

void Ping::GetMac() {
    if (!slot_) {
        Mac.clear();
        return;
    }
    std::string m = slot_->getStr(slot::kMacPos, slot::kMacLen);
    std::erase(m, '\0');
    Mac = std::move(m);
}

std::int32_t Ping::GetPing() {
    if (!slot_) return slot::kStateNone;
    const std::int32_t state = slot::StateNumber(slot_->ReadByte(slot::kStatePos));
    if (state == slot::kStatePing || state == slot::kStatePingMac || state == slot::kStateBusy) {
        const auto now = Clock::now();
        if (now - lastCheck_ >= kLivenessCheck) {
            lastCheck_ = now;
            // Throws ObjectError when Morvel is gone or does not answer.
            std::vector<Arg> none;
            slotRef_->Call(morvel::CCShareStringMember::LastErr, none, kLivenessLimit);
        }
    }
    return state;
}

void Ping::ClosePing() {
    if (!slot_) return;
    slot_->WriteByte(slot::kClose, slot::kStatePos);
    Ring();
}

void Ping::RestartWorker() {
    if (!worker_ || id_ == 0) return;
    CreateWorker(id_);
}

void Ping::CreateWorker(std::int32_t n) {
    std::vector<Arg> args{Arg(n)};
    if (echoTimeoutMs_ != 0) args.emplace_back(echoTimeoutMs_);
    worker_->Call(morvel::ClassPingMember::Create, args, kSetupLimit);
}

void Ping::Ring() {
    // After the command byte, never before: Morvel's watcher looks at once
    // instead of at its next scan. Without a doorbell the scan still comes.
    if (!bellTried_) {
        bellTried_ = true;
        bell_ = platform::Doorbell::Open();
    }
    if (bell_) bell_->Ring();
}

}  // namespace sweep
