// SPDX-License-Identifier: MIT
// Small file chores shared by the files that replace or record state on disk:
// the profile files, the object registry and the kept sweep results.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Writes all of `data` to `fd`, across short writes and interruptions.
bool WriteFully(int fd, std::string_view data);

enum class ReadResult { Ok, Missing, Failed };

// Far beyond any file of ours: reading a larger one (a link to /dev/zero
// never ends) would only exhaust memory.
inline constexpr std::size_t kMaxReadSize = 16u << 20;

// The whole file at path into out (cleared first). Missing only when the file
// does not exist; any other failure (no permission) is Failed. A file that is
// not a regular file (a folder, a FIFO, whose open would wait for a writer, a
// device) or is larger than kMaxReadSize is not read: Failed with errno
// EINVAL or EFBIG.
ReadResult ReadAll(const std::string& path, std::string& out);

// The folder part of path: "." for a bare name, "/" for a file in the root.
std::string FolderOf(const std::string& path);

// Replaces the file at path with data atomically: a temporary file in the same
// folder, flushed to disk, renamed over the old one, then the folder synced so
// the rename itself survives a crash. Any failure before the rename removes the
// temporary file and leaves the old file untouched. The new file gets `mode`,
// or 0666 less the umask.
bool ReplaceFile(const std::string& path, const std::string& data,
                 std::optional<mode_t> mode = std::nullopt);

// Whether a folder entry is one of ReplaceFile's temporary files for the file
// named `base`: one left by a writer that died before its rename.
bool IsTempFileOf(std::string_view entry, std::string_view base);

// Runs `hook` in ReplaceFile after the temporary file is complete and before
// the rename, so a test can end the process there. nullptr: none.
void SetBeforeRenameForTesting(void (*hook)());

// Creates the folder at path (one level) unless it exists as a folder.
bool MakeFolder(const std::string& path);

}  // namespace platform
