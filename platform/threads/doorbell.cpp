// SPDX-License-Identifier: MIT
#include "platform/threads/doorbell.h"

#include <climits>
#include <mutex>

#include "platform/threads/futex.h"
#include "platform/threads/shared_block.h"

namespace platform {
namespace {

// The block's name in the session; the word is its first four bytes (page aligned).
constexpr const char* kName = "Doorbell";
constexpr std::int64_t kSize = 64;

std::mutex openMutex;
std::weak_ptr<Doorbell> openBell;  // guarded by openMutex

}  // namespace

Doorbell::Doorbell(std::unique_ptr<FileMapping> map, std::atomic<std::uint32_t>* word)
    : map_(std::move(map)), word_(word) {}

Doorbell::~Doorbell() = default;

std::shared_ptr<Doorbell> Doorbell::Open() {
    std::lock_guard lock(openMutex);
    if (auto bell = openBell.lock()) return bell;
    std::uint32_t err = 0;
    auto map = FileMapping::Create(kName, kSize, err);
    if (!map) return nullptr;
    unsigned char* view = map->MapView(err);
    if (!view) return nullptr;
    // Any value of the word is fine: only its changes mean something.
    auto* word = reinterpret_cast<std::atomic<std::uint32_t>*>(view);
    std::shared_ptr<Doorbell> bell(new Doorbell(std::move(map), word));
    openBell = bell;
    return bell;
}

void Doorbell::Ring() {
    word_->fetch_add(1, std::memory_order_seq_cst);
    futex::Wake(*word_, INT_MAX, true);
}

std::uint32_t Doorbell::Rings() const { return word_->load(std::memory_order_seq_cst); }

void Doorbell::Wait(std::uint32_t seen, std::chrono::steady_clock::time_point until) const {
    futex::Wait(*word_, seen, &until, true);
}

void Doorbell::Nudge() { futex::Wake(*word_, INT_MAX, true); }

void RingDoorbell() {
    if (auto bell = Doorbell::Open()) bell->Ring();
}

}  // namespace platform
