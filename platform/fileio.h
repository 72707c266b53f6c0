// Small file chores shared by the files that replace or record state on disk.
#pragma once

#include <string_view>

namespace platform {

// Writes all of `data` to `fd`, across short writes and interruptions.
bool WriteFully(int fd, std::string_view data);

}  // namespace platform
