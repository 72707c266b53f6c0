// Named shared blocks: the stand-in for a named file mapping backed by the
// paging file (CreateFileMappingA, MapViewOfFile, UnmapViewOfFile, CloseHandle).
//
// A block is POSIX shared memory under a name private to the user's session.
// It lives while any holder in any process has it open; when the last one
// closes it, the name is removed, so a later open gets a fresh all-zero block.
// Every holder keeps a shared flock on the block; open and close take a
// per-name lock file, so "am I alone?" (an exclusive flock succeeds) is asked
// without a race: an opener that is alone zeroes the block and reports it new,
// a closer that is alone removes the name. A holder killed outright drops its
// flock with its descriptors, so a block it leaves behind is zeroed by the
// next opener. Failures are Windows error codes, never errno values.
//
// Names carry a random tag kept in the session folder. /dev/shm is listed by
// everyone, so another user can learn a tag and create its names first; Morvel
// therefore renews the tag at start whenever no block of the session lives.
// A block's space is reserved when it is made or grown, so a full /dev/shm is
// error 8 at Create, never SIGBUS at the first write to a page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/winerror.h"

namespace platform {

// The largest block a caller may ask for (a slot is 1000 bytes, the default
// 30000): a peer's request must not reserve gigabytes of memory.
inline constexpr std::int64_t kMaxBlockSize = 16 * 1024 * 1024;

class FileMapping {
  public:
    // Opens the block `name`, creating it with `size` bytes when none exists.
    // lastError: 0 for a new block, kErrorAlreadyExists for an existing one, or
    // the failure code (then the result is null): 87 for a size below 1, 8 for
    // one above kMaxBlockSize or when the space cannot be reserved.
    static std::unique_ptr<FileMapping> Create(std::string_view name, std::int64_t size,
                                               std::uint32_t& lastError);
    ~FileMapping();  // the handle's close: the last holder removes the name

    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    // Maps the whole block for reading and writing; null with lastError set on failure.
    // The view stays valid until UnmapView or destruction.
    unsigned char* MapView(std::uint32_t& lastError);
    void UnmapView();

    // The block's size in bytes (at least the size asked for).
    std::size_t Size() const { return size_; }

    // The name in the shared-memory namespace under the session's current tag,
    // for tests ("/varnex.<uid>.<tag>.<name>").
    static std::string SystemName(std::string_view name);

    // For Morvel's start: removes this user's blocks whose holders are all gone
    // (of any session: POSIX shared memory outlives a crash) and the session's
    // idle lock files, then renews the tag if no block of the session lives.
    // Returns how many blocks it removed.
    static int RemoveStaleBlocks();

  private:
    FileMapping(int fd, std::string sysName, std::string lockPath, std::size_t size);
    int fd_;
    std::string sysName_;
    std::string lockPath_;
    std::size_t size_;
    unsigned char* view_ = nullptr;
};

}  // namespace platform
