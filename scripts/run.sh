#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds Varnex (release preset, no tests) and starts Tessor from build/bin.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
BUILD_DIR=$build "$root/scripts/build.sh" release

bin=$build/bin
for prog in Tessor Morvel; do
  if [ ! -x "$bin/$prog" ]; then
    echo "run: $bin/$prog was not built" >&2
    exit 1
  fi
done

# Morvel pings for the sweep, and for Tessor's continuous ping window where
# Tessor may not open an ICMP socket itself. Where ping_group_range covers the
# user's group, ICMP datagram sockets need no privilege; otherwise only Morvel,
# which links no Qt, gets cap_net_raw, as Debian does for ping. Tessor never
# does: Qt loads plugins from paths a user controls (QT_PLUGIN_PATH, the
# program's folder), and a raised process would run them raised.
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
if [ -n "$(getcap "$bin/Tessor" 2>/dev/null)" ]; then
  "${as_root[@]}" setcap -r "$bin/Tessor" ||
    { echo "run: $bin/Tessor still holds a capability and it could not be removed" >&2; exit 1; }
fi
read -r lo hi </proc/sys/net/ipv4/ping_group_range
gid=$(id -g)
if [ "$gid" -lt "$lo" ] || [ "$gid" -gt "$hi" ]; then
  "${as_root[@]}" setcap cap_net_raw+ep "$bin/Morvel" ||
    echo "run: could not give Morvel cap_net_raw; pings will fail (or set net.ipv4.ping_group_range to cover group $gid)" >&2
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); Tessor is a window program." >&2
  echo "run: start it from a desktop session, or under Xvfb: xvfb-run -a $bin/Tessor" >&2
  exit 1
fi
exec "$bin/Tessor"
