#!/usr/bin/env bash
# Builds Varnex and starts Tessor.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
BUILD_DIR=$build VARNEX_TESTS=OFF "$root/scripts/build.sh" -DVARNEX_TESTS=OFF -DVARNEX_BENCH=OFF

bin=$build/bin
for prog in Tessor Morvel; do
  if [ ! -x "$bin/$prog" ]; then
    echo "run: $bin/$prog was not built" >&2
    exit 1
  fi
done

# Morvel pings for the sweep and Tessor's continuous ping window pings in-process.
# Where ping_group_range covers the user's group, ICMP datagram sockets need no
# privilege; otherwise give both programs cap_net_raw, as Debian does for ping.
read -r lo hi </proc/sys/net/ipv4/ping_group_range
gid=$(id -g)
if [ "$gid" -lt "$lo" ] || [ "$gid" -gt "$hi" ]; then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  for prog in Tessor Morvel; do
    "${as_root[@]}" setcap cap_net_raw+ep "$bin/$prog" ||
      echo "run: could not give $prog cap_net_raw; pings will fail (or set net.ipv4.ping_group_range to cover group $gid)" >&2
  done
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); Tessor is a window program." >&2
  echo "run: start it from a desktop session, or under Xvfb: xvfb-run -a $bin/Tessor" >&2
  exit 1
fi
exec "$bin/Tessor"
