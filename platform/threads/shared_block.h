// SPDX-License-Identifier: MIT
// Named shared blocks: the stand-in for a named file mapping backed by the
// paging file (CreateFileMappingA, MapViewOfFile, UnmapViewOfFile, CloseHandle).
//
// A block is a file in the session's blocks folder, a folder on tmpfs that
// only this user may enter: the session folder's "blocks" when the session
// folder is on tmpfs, otherwise a folder with a random name under /dev/shm
// whose name the session folder records. Nobody else can list, predict or
// claim a name in it. Folders of sessions that no process uses any more are
// removed by Morvel's start.
//
// A block lives while any holder in any process has it open; when the last one
// closes it, its file goes, so a later open gets a fresh all-zero block. The
// holders of a name in one process share one descriptor, which keeps a shared
// flock for as long as the process holds the block. Opens and closes of every
// process of the session take turns on one lock (an open file description lock
// on the folder's lock file), so an opener that can take the exclusive flock is
// alone, zeroes the block and reports it new, and a closer that can take it
// removes the file, without a race. A holder killed outright drops its flocks
// with its descriptors, so a block it leaves behind is zeroed by the next
// opener, or removed at Morvel's next start.
//
// Space is reserved when a block is made or grown, so a full tmpfs is error 8
// at Create, never SIGBUS at the first write to a page; so are the session's
// budget and a client's share of it. Failures are Windows error codes, never
// errno values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/process/winerror.h"

namespace platform {

// The largest block a caller may ask for (a slot is 1000 bytes, the default
// 30000): a peer's request must not reserve gigabytes of memory.
inline constexpr std::int64_t kMaxBlockSize = 16 * 1024 * 1024;
// What all blocks of a session may hold together, in whole pages.
inline constexpr std::int64_t kSessionBlockBudget = 64 * 1024 * 1024;

// A part of the session's budget that the blocks opened on one thread count
// against as well, each with the pages it asked for. The object server gives
// each client one, so that a client cannot take the room every other one needs.
class BlockShare {
  public:
    explicit BlockShare(std::int64_t limit) : limit_(limit) {}

  private:
    friend class FileMapping;
    const std::int64_t limit_;
    std::int64_t used_ = 0;  // guarded by the blocks' table lock
};

// Blocks opened on the calling thread from now on count against `share`
// (null: against the session's budget only).
void SetThreadBlockShare(std::shared_ptr<BlockShare> share);

class FileMapping {
  public:
    // Opens the block `name`, creating it with `size` bytes when none exists.
    // lastError: 0 for a new block, kErrorAlreadyExists for an existing one, or
    // the failure code (then the result is null): 87 for a size below 1; 8 for
    // one above kMaxBlockSize, past the budget or the thread's share, or when
    // the space cannot be reserved; 4 out of descriptors; 5 for a folder or a
    // file that is not this user's alone.
    static std::unique_ptr<FileMapping> Create(std::string_view name, std::int64_t size,
                                               std::uint32_t& lastError);
    ~FileMapping();  // the handle's close: the last holder removes the block

    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    // Maps the whole block for reading and writing; null with lastError set on failure.
    // The view stays valid until UnmapView or destruction.
    unsigned char* MapView(std::uint32_t& lastError);
    void UnmapView();

    // The block's size in bytes (at least the size asked for).
    std::size_t Size() const { return size_; }

    // The file of the block `name` in this session's folder; "" when the
    // folder cannot be had.
    static std::string Path(std::string_view name);

    // What a failed Create's code means to a user, with the fix where there is one.
    static std::string ErrorText(std::uint32_t code, std::string_view name);

    // For Morvel's start: removes the session's blocks whose holders are all
    // gone, and the folders (and blocks of the earlier /dev/shm names) of this
    // user's sessions that no process uses. Returns how many blocks it removed.
    static int RemoveStaleBlocks();

    struct Block;

  private:
    FileMapping(std::shared_ptr<Block> block, std::shared_ptr<BlockShare> share,
                std::int64_t charge, std::size_t size);
    std::shared_ptr<Block> block_;
    std::shared_ptr<BlockShare> share_;
    std::int64_t charge_;
    std::size_t size_;
    unsigned char* view_ = nullptr;
};

}  // namespace platform
