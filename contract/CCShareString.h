// SPDX-License-Identifier: MIT
// One object's access to a named shared block, read and written as single-byte
// text in the ANSI code page at 1-based positions. Both sides of a slot hold
// one: the worker in Morvel, and the window's proxy (which opens the same
// block in its own process while Morvel's object keeps it alive).
//
// Copies go byte by byte through atomic accesses with fences: a write is
// published by a release fence before it, a read is made good by an acquire
// fence after it, so the slot protocol's orders of writes (address before
// command, MAC before the final state) hold across threads and processes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/process/winerror.h"

namespace platform {
class FileMapping;
}

class CCShareString {
  public:
    CCShareString();
    ~CCShareString();  // releases the view and the handle
    CCShareString(const CCShareString&) = delete;
    CCShareString& operator=(const CCShareString&) = delete;

    // Opens (or creates) the block sName with StrLen bytes. True when a view is
    // mapped afterwards. An empty name returns false and leaves LastErr alone.
    // A second Create releases the earlier block first.
    bool Create(const std::string& sName, std::int32_t StrLen = 30000);

    // M bytes from position n as text. Outside the block: "" and LastErr 87;
    // without a view: "" and LastErr 13.
    std::string getStr(std::int32_t n, std::int32_t M);

    // Writes the ANSI form of s from position n on. Outside the block: nothing,
    // LastErr 87; without a view: nothing, LastErr 13.
    void setStr(const std::string& s, std::int32_t n);

    std::int32_t LastErr() const { return lastErr_; }

    // Raw single-byte access for the hot path of the slot protocol (the state
    // character): acquire read and release write of the byte at position n.
    // Out of range or without a view: 0 / nothing, and LastErr as above.
    char ReadByte(std::int32_t n);
    void WriteByte(char c, std::int32_t n);

    // Where the byte at position n is mapped, for a watcher on another thread
    // that reads it atomically; valid until the next Create or destruction.
    // Null out of range or without a view (LastErr is left alone).
    const unsigned char* ByteAddress(std::int32_t n) const {
        return view_ && n >= 1 && static_cast<std::size_t>(n) <= size_ ? view_ + (n - 1) : nullptr;
    }

    static constexpr auto kNoView = static_cast<std::int32_t>(platform::kErrorInvalidData);

  private:
    void CloseMap();
    bool InRange(std::int32_t n, std::int64_t len);

    std::unique_ptr<platform::FileMapping> map_;
    unsigned char* view_ = nullptr;
    std::size_t size_ = 0;
    std::int32_t lastErr_ = 0;
};
