#!/usr/bin/env bash
# Installs the build tree into a staging prefix and checks what a user gets:
# exactly the two programs, the desktop entry, the icon and the metainfo, all
# valid; --help and --version without a display; the installed Tessor reaching
# the installed Morvel, and keeping its profile files out of bin/.
# Runs inside the private network namespace; no sweep is started.
set -euo pipefail
build=$1
stage=$(mktemp -d /tmp/varnex-install-XXXXXX)
tessor_pid=
cleanup() {
  [ -z "$tessor_pid" ] || kill "$tessor_pid" 2>/dev/null || true
  for p in $(morvels); do kill "$p" 2>/dev/null || true; done
  rm -rf "$stage"
}
trap cleanup EXIT
fail() { echo "install_test: $*" >&2; exit 1; }

# This staging copy's Morvel processes (by their executable), and no others.
morvels() {
  for exe in /proc/[0-9]*/exe; do
    [ "$(readlink "$exe" 2>/dev/null)" = "$stage/usr/libexec/varnex/Morvel" ] || continue
    p=${exe#/proc/}; echo "${p%/exe}"
  done
}

cmake --install "$build" --prefix "$stage/usr" >/dev/null

files() { (cd "$stage/usr" && find . ! -type d | sed 's|^\./||' | sort); }
expected='bin/Tessor
libexec/varnex/Morvel
share/applications/org.varnex.Tessor.desktop
share/icons/hicolor/scalable/apps/org.varnex.Tessor.svg
share/metainfo/org.varnex.Tessor.metainfo.xml'
[ "$(files)" = "$expected" ] || fail "installed files differ:"$'\n'"$(diff <(echo "$expected") <(files))"

desktop-file-validate "$stage/usr/share/applications/org.varnex.Tessor.desktop" ||
  fail "desktop-file-validate failed"
appstreamcli validate --no-net "$stage/usr/share/metainfo/org.varnex.Tessor.metainfo.xml" >/dev/null ||
  fail "appstreamcli validate failed"
grep -qx 'Name\[zh_CN\]=局域网Varnex工具' "$stage/usr/share/applications/org.varnex.Tessor.desktop" ||
  fail "the desktop entry's Chinese name is not the window's caption"

# No display needed for these; a mistake gets the usage on stderr and exit 2.
tessor=$stage/usr/bin/Tessor
nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)
"${nodisplay[@]}" "$tessor" --help | grep -q '^Usage: Tessor' || fail "--help"
"${nodisplay[@]}" "$tessor" --version | grep -qx 'Tessor (Varnex) [0-9.]*' || fail "--version"
rc=0
"${nodisplay[@]}" "$tessor" --bogus >"$stage/out" 2>"$stage/err" || rc=$?
[ "$rc" -eq 2 ] && grep -q -- "--bogus" "$stage/err" && grep -q '^Usage: Tessor' "$stage/err" &&
  [ ! -s "$stage/out" ] || fail "an unknown option gave exit $rc, stderr: $(cat "$stage/err")"

# A fresh user: the installed Tessor registers and starts the installed Morvel
# (Qt's -platform passes through).
mkdir -p "$stage/home" "$stage/run"
chmod 700 "$stage/run"
HOME=$stage/home XDG_RUNTIME_DIR=$stage/run XDG_DATA_HOME=$stage/home/data \
  XDG_CONFIG_HOME=$stage/home/config "${nodisplay[@]}" "$tessor" -platform offscreen \
  >"$stage/tessor.log" 2>&1 &
tessor_pid=$!
for _ in $(seq 600); do
  [ -n "$(morvels)" ] && break
  kill -0 "$tessor_pid" 2>/dev/null || fail "Tessor ended: $(cat "$stage/tessor.log")"
  sleep 0.1
done
[ -n "$(morvels)" ] || fail "the installed Tessor did not start the installed Morvel: $(cat "$stage/tessor.log")"
grep -rqs "$stage/usr/libexec/varnex/Morvel" "$stage/home/data/varnex/classes" ||
  fail "the registration record does not name the installed Morvel"
[ "$(stat -c %a "$stage/home/config/varnex")" = 700 ] || fail "the config folder is not 0700"
[ "$(files)" = "$expected" ] || fail "Tessor wrote beside the installed programs: $(files)"
kill "$tessor_pid"
wait "$tessor_pid" 2>/dev/null || true
tessor_pid=
# Morvel ends once its client is gone.
for _ in $(seq 300); do [ -z "$(morvels)" ] && break; sleep 0.1; done
[ -z "$(morvels)" ] || fail "Morvel outlived Tessor"
