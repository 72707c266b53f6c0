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
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/winerror.h"

namespace platform {

class FileMapping {
  public:
    // Opens the block `name`, creating it with `size` bytes when none exists.
    // lastError: 0 for a new block, kErrorAlreadyExists for an existing one, or
    // the failure code (then the result is null).
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

    // The name in the shared-memory namespace, for tests ("/varnex.<uid>.<tag>.<name>").
    static std::string SystemName(std::string_view name);

  private:
    FileMapping(int fd, std::string sysName, std::string lockPath, std::size_t size);
    int fd_;
    std::string sysName_;
    std::string lockPath_;
    std::size_t size_;
    unsigned char* view_ = nullptr;
};

}  // namespace platform
