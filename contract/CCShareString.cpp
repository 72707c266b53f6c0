// SPDX-License-Identifier: MIT
#include "contract/CCShareString.h"

#include <atomic>

#include "platform/files/codepage.h"
#include "platform/threads/shared_block.h"

CCShareString::CCShareString() = default;

CCShareString::~CCShareString() { CloseMap(); }

bool CCShareString::Create(const std::string& sName, std::int32_t StrLen) {
    if (sName.empty()) return false;
    CloseMap();  // one block per object: release an earlier one first

    std::uint32_t err = 0;
    map_ = platform::FileMapping::Create(platform::ToAnsi(sName), StrLen, err);
    lastErr_ = static_cast<std::int32_t>(err);
    if (!map_) {
        CloseMap();
        return false;
    }
    bool existed = err == platform::kErrorAlreadyExists;
    view_ = map_->MapView(err);
    if (!view_) {
        lastErr_ = static_cast<std::int32_t>(err);
        return false;
    }
    size_ = map_->Size();
    if (!existed) {
        for (std::size_t i = 0; i < 4 && i < size_; ++i)
            std::atomic_ref<unsigned char>(view_[i]).store(0, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
    }
    lastErr_ = 0;
    return true;
}

bool CCShareString::InRange(std::int32_t n, std::int64_t len) {
    if (!view_) {
        lastErr_ = kNoView;
        return false;
    }
    if (n < 1 || len < 0 ||
        static_cast<std::int64_t>(n) - 1 + len > static_cast<std::int64_t>(size_)) {
        lastErr_ = static_cast<std::int32_t>(platform::kErrorInvalidParameter);
        return false;
    }
    return true;
}

std::string CCShareString::getStr(std::int32_t n, std::int32_t M) {
    if (!InRange(n, M)) return {};
    std::string raw(static_cast<std::size_t>(M), '\0');
    unsigned char* src = view_ + (n - 1);
    for (std::int32_t i = 0; i < M; ++i)
        raw[static_cast<std::size_t>(i)] = static_cast<char>(
            std::atomic_ref<unsigned char>(src[i]).load(std::memory_order_relaxed));
    std::atomic_thread_fence(std::memory_order_acquire);
    // The bytes come from another process: FromAnsi never yields malformed text.
    return platform::FromAnsi(raw);
}

void CCShareString::setStr(const std::string& s, std::int32_t n) {
    if (!view_) {
        lastErr_ = kNoView;
        return;
    }
    // The whole ANSI form is written, so a double-byte character is never split.
    std::string ansi = platform::ToAnsi(s);
    if (!InRange(n, static_cast<std::int64_t>(ansi.size()))) return;
    std::atomic_thread_fence(std::memory_order_release);
    unsigned char* dst = view_ + (n - 1);
    for (std::size_t i = 0; i < ansi.size(); ++i)
        std::atomic_ref<unsigned char>(dst[i]).store(static_cast<unsigned char>(ansi[i]),
                                                     std::memory_order_relaxed);
}

char CCShareString::ReadByte(std::int32_t n) {
    if (!InRange(n, 1)) return 0;
    return static_cast<char>(
        std::atomic_ref<unsigned char>(view_[n - 1]).load(std::memory_order_acquire));
}

void CCShareString::WriteByte(char c, std::int32_t n) {
    if (!InRange(n, 1)) return;
    std::atomic_ref<unsigned char>(view_[n - 1])
        .store(static_cast<unsigned char>(c), std::memory_order_release);
}

void CCShareString::CloseMap() {
    if (map_) map_->UnmapView();
    map_.reset();
    view_ = nullptr;
    size_ = 0;
}
