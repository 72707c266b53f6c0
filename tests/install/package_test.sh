#!/usr/bin/env bash
# Builds the Debian package from the build tree and checks it with dpkg-deb:
# the files, the control fields (Depends computed from the binaries), and a
# postinst that gives cap_net_raw to Morvel only, and only where needed.
set -euo pipefail
build=$1
out=$(mktemp -d /tmp/varnex-package-XXXXXX)
trap 'rm -rf "$out"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || fail "cpack: $(cat "$out/cpack.log")"
debs=("$out"/*.deb)
[ "${#debs[@]}" -eq 1 ] || fail "expected one package, got: ${debs[*]}"
deb=${debs[0]}

# Regular files and their modes: nothing setuid, nothing beyond the five.
listing=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $6}' | sort -k2)
expected='-rwxr-xr-x ./usr/bin/Tessor
-rwxr-xr-x ./usr/libexec/varnex/Morvel
-rw-r--r-- ./usr/share/applications/org.varnex.Tessor.desktop
-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/org.varnex.Tessor.svg
-rw-r--r-- ./usr/share/metainfo/org.varnex.Tessor.metainfo.xml'
[ "$listing" = "$expected" ] || fail "package files differ:"$'\n'"$(diff <(echo "$expected") <(echo "$listing"))"

[ "$(dpkg-deb -f "$deb" Package)" = varnex ] || fail "Package field"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libqt6widgets6 libmnl0; do
  grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

# The postinst, run against a stand-in setcap that records its arguments, each
# time in a fresh network namespace of its own: ping_group_range is per
# namespace, and changing the one the other tests share would disturb them.
dpkg-deb -e "$deb" "$out/control"
postinst=$out/control/postinst
[ -x "$postinst" ] || fail "no executable postinst"
mkdir "$out/fakebin"
printf '#!/bin/sh\necho "$*" >>%s\n' "$out/setcap.log" >"$out/fakebin/setcap"
chmod +x "$out/fakebin/setcap"
postinst_with_range() {
  PATH=$out/fakebin:$PATH unshare --net -- sh -c \
    'echo "$1" >/proc/sys/net/ipv4/ping_group_range && "$2" configure' sh "$1" "$postinst"
}
postinst_with_range "1 0" || fail "postinst failed"
[ "$(cat "$out/setcap.log")" = "cap_net_raw+ep /usr/libexec/varnex/Morvel" ] ||
  fail "postinst ran: setcap $(cat "$out/setcap.log")"
# Where every user may open ICMP datagram sockets, no capability at all.
rm "$out/setcap.log"
postinst_with_range "0 2147483647" || fail "postinst failed"
[ ! -e "$out/setcap.log" ] || fail "postinst set a capability it need not: $(cat "$out/setcap.log")"
