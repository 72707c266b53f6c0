#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package from the build tree and checks it with dpkg-deb
# and lintian: the files, the control fields (Depends computed from the
# binaries), the changelog and the units, a postinst that gives cap_net_raw to
# Morvel only, and only where needed; and that the package preset is hardened.
set -euo pipefail
build=$1
out=$(mktemp -d /tmp/varnex-package-XXXXXX)
trap 'rm -rf "$out"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || fail "cpack: $(cat "$out/cpack.log")"
debs=("$out"/*.deb)
[ "${#debs[@]}" -eq 1 ] || fail "expected one package, got: ${debs[*]}"
deb=${debs[0]}

# Files, links and their modes: nothing setuid, nothing beyond these.
listing=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $6, $7, $8}' | sed 's/ *$//' | LC_ALL=C sort -k2)
expected='-rwxr-xr-x ./usr/bin/Tessor
lrwxrwxrwx ./usr/bin/varnex -> Tessor
-rw-r--r-- ./usr/lib/systemd/user/varnex-sweep@.service
-rw-r--r-- ./usr/lib/systemd/user/varnex-sweep@.timer
-rwxr-xr-x ./usr/libexec/varnex/Morvel
-rw-r--r-- ./usr/share/applications/org.varnex.Tessor.desktop
-rw-r--r-- ./usr/share/bash-completion/completions/Tessor
lrwxrwxrwx ./usr/share/bash-completion/completions/varnex -> Tessor
-rw-r--r-- ./usr/share/doc/varnex/changelog.gz
-rw-r--r-- ./usr/share/doc/varnex/copyright
-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/org.varnex.Tessor.svg
-rw-r--r-- ./usr/share/man/man1/Tessor.1.gz
lrwxrwxrwx ./usr/share/man/man1/varnex.1.gz -> Tessor.1.gz
-rw-r--r-- ./usr/share/metainfo/org.varnex.Tessor.metainfo.xml'
[ "$listing" = "$expected" ] || fail "package files differ:"$'\n'"$(diff <(echo "$expected") <(echo "$listing"))"

[ "$(dpkg-deb -f "$deb" Package)" = varnex ] || fail "Package field"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libqt6widgets6 libmnl0 libsqlite3-0; do
  grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

# lintian finds no error and no warning.
lintian --fail-on error,warning "$deb" >"$out/lintian.log" 2>&1 || fail "lintian:"$'\n'"$(cat "$out/lintian.log")"
# The changelog's newest entry is this version; the service starts the packaged Tessor.
dpkg-deb -x "$deb" "$out/root"
zcat "$out/root/usr/share/doc/varnex/changelog.gz" >"$out/changelog"
version=$(dpkg-parsechangelog -l "$out/changelog" -S Version)
[ "$version" = "$(dpkg-deb -f "$deb" Version)" ] || fail "the changelog's newest version is $version"
grep -q '^ExecStart=/usr/bin/Tessor ' "$out/root/usr/lib/systemd/user/varnex-sweep@.service" ||
  fail "the service does not start /usr/bin/Tessor"

# The package preset is hardened (the tests' own build is not): fortify, stack
# protector, relro and bind-now, and no warning made an error.
(cd "$(dirname "$0")/../.." && cmake --preset package -B "$out/package-build" >"$out/cmake.log" 2>&1) ||
  fail "configuring the package preset: $(cat "$out/cmake.log")"
flags=$(cat "$out/package-build/compile_commands.json" "$out/package-build/build.ninja")
for flag in -D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wl,-z,relro -Wl,-z,now; do
  grep -q -- "$flag" <<<"$flags" || fail "the package build lacks $flag"
done
! grep -q -- -Werror <<<"$flags" || fail "the package build makes warnings errors"

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
