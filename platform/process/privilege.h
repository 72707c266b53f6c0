// SPDX-License-Identifier: MIT
// The window program's guard against running raised. Only Morvel, which
// links no Qt, may hold cap_net_raw; Qt loads plugins from paths a user
// controls, so a window program raised by a file capability (an old setcap,
// a copy made by hand) would run them with it.
#pragma once

namespace platform {

// Drops every capability this process holds (permitted, effective,
// inheritable, ambient), unless it runs as root, where the capabilities come
// with the user and not with the file. Call before any library loads a
// plugin. False when some remain.
bool DropCapabilities();

}  // namespace platform
