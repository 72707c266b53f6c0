#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build tree into a staging prefix and checks what a user gets:
# exactly the two programs and `varnex`, the desktop entry, the icon, the
# metainfo, the manual page, the completion and the systemd units, all valid;
# --help and --version without a display, and one line without one; the
# installed Tessor replacing a stale registration, reaching the installed
# Morvel, and keeping its profile files out of bin/.
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

files() { (cd "$stage/usr" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort); }
expected='bin/Tessor
bin/varnex
lib/systemd/user/varnex-sweep@.service
lib/systemd/user/varnex-sweep@.timer
libexec/varnex/Morvel
share/applications/org.varnex.Tessor.desktop
share/bash-completion/completions/Tessor
share/bash-completion/completions/varnex
share/doc/varnex/changelog.gz
share/doc/varnex/copyright
share/icons/hicolor/scalable/apps/org.varnex.Tessor.svg
share/man/man1/Tessor.1.gz
share/man/man1/varnex.1.gz
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

"${nodisplay[@]}" "$stage/usr/bin/varnex" --version | grep -qx 'Tessor (Varnex) [0-9.]*' ||
  fail "varnex --version"
# No display, or one that cannot be opened: one line and exit 1, not Qt's abort.
for display in "" :4711; do
  rc=0
  "${nodisplay[@]}" ${display:+DISPLAY=$display} "$tessor" >"$stage/out" 2>"$stage/err" || rc=$?
  [ "$rc" -eq 1 ] && [ "$(wc -l <"$stage/err")" -eq 1 ] && grep -q '^Tessor: .*display' "$stage/err" ||
    fail "display '$display' gave exit $rc, stderr: $(cat "$stage/err")"
done

# The manual page renders without a warning and has an entry for exactly the
# options that --help lists, so that neither can gain one alone.
page=$stage/usr/share/man/man1/Tessor.1.gz
warnings=$(zcat "$page" | groff -ww -z -man 2>&1)
[ -z "$warnings" ] || fail "the manual page: $warnings"
help_options=$("$tessor" --help | grep -oE '^ +(-[a-z], )?--[a-z-]+' | grep -oE -- '-[-a-z]+' | LC_ALL=C sort)
page_options=$(zcat "$page" | awk '/^\.SH/ { options = $2 == "OPTIONS" } options && tag { print } { tag = /^\.TP/ }' |
  grep -oE '(^| )\\-(\\-)?[a-z]([a-z]|\\-)*' | sed 's/ //; s/\\-/-/g' | LC_ALL=C sort)
[ "$help_options" = "$page_options" ] ||
  fail "--help and the manual page list other options:"$'\n'"$(diff <(echo "$help_options") <(echo "$page_options"))"

mkdir -p "$stage/home" "$stage/run"
chmod 700 "$stage/run"
# The units are valid and name the installed Tessor and a manual page it has.
units=$stage/usr/lib/systemd/user
grep -qx "ExecStart=$tessor --sweep %i --mac --changes" "$units/varnex-sweep@.service" ||
  fail "the service does not start the installed Tessor"
XDG_RUNTIME_DIR=$stage/run MANPATH=$stage/usr/share/man systemd-analyze verify --user \
  "$units/varnex-sweep@192.0.2.service" "$units/varnex-sweep@192.0.2.timer" >"$stage/verify" 2>&1 &&
  [ ! -s "$stage/verify" ] || fail "systemd-analyze verify: $(cat "$stage/verify")"

# A fresh user whose registration names a Morvel that is gone: the installed
# Tessor registers anew and starts the installed Morvel (Qt's -platform
# passes through).
classes=$stage/home/data/varnex/classes
mkdir -p -m 700 "$stage/home/data" "$stage/home/data/varnex" "$classes"
clsid=$(grep -oE 'kClassPingClsid = "[^"]+"' "$(dirname "$0")/../../contract/classes.h" | cut -d'"' -f2)
printf 'executable=/nonexistent/Morvel\niid=x\n' >"$classes/$clsid"
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
grep -qx "executable=$stage/usr/libexec/varnex/Morvel" "$classes/$clsid" ||
  fail "the registration record does not name the installed Morvel: $(cat "$classes/$clsid")"
[ "$(stat -c %a "$stage/home/config/varnex")" = 700 ] || fail "the config folder is not 0700"
[ "$(files)" = "$expected" ] || fail "Tessor wrote beside the installed programs: $(files)"
kill "$tessor_pid"
wait "$tessor_pid" 2>/dev/null || true
tessor_pid=
# Morvel ends once its client is gone.
for _ in $(seq 300); do [ -z "$(morvels)" ] && break; sleep 0.1; done
[ -z "$(morvels)" ] || fail "Morvel outlived Tessor"

# Completion: the options of --help, the formats, the change kinds, and the
# subnets in the history of an installed copy in the user's config folder
# (here made by importing the kept sweeps of an earlier version).
mkdir "$stage/home/config/varnex/sweeps"
for subnet in 192.0.2 10.1.2; do
  {
    printf 'host,ip,answered,rounds,share,mac,vendor,remark,change\r\n'
    for n in $(seq 255); do printf '%s,%s.%s,0,1,0,,,,\r\n' "$n" "$subnet" "$n"; done
  } >"$stage/home/config/varnex/sweeps/$subnet.csv"
done
completions() {
  PATH=$stage/usr/bin:$PATH HOME=$stage/home XDG_CONFIG_HOME=$stage/home/config bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    shift
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" && COMP_POINT=${#COMP_LINE}
    _varnex "$1" "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
    printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort' \
    bash "$stage/usr/share/bash-completion/completions/Tessor" "$@"
}
[ "$(completions Tessor --)" = "$(grep -- -- <<<"$help_options")" ] ||
  fail "completion of options: $(completions Tessor --)"
[ "$(completions varnex --format c)" = csv ] || fail "completion of formats: $(completions varnex --format c)"
[ "$(completions varnex --mac --sweep '')" = $'10.1.2\n192.0.2' ] ||
  fail "completion of subnets: $(completions varnex --mac --sweep '')"
[ "$(completions Tessor --history 1)" = $'10.1.2\n192.0.2' ] ||
  fail "completion of the history's subnets: $(completions Tessor --history 1)"
[ "$(completions Tessor --fail-on new,m)" = $'new,mac\nnew,moved' ] ||
  fail "completion of change kinds: $(completions Tessor --fail-on new,m)"
