#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages the build, the tests and the programs need,
# only when some are missing, so a second run costs nothing.
set -euo pipefail

packages=(
  cmake g++ make ninja-build pkg-config
  qt6-base-dev libgl-dev
  # the English catalogue: CMake's Qt6LinguistTools, and lupdate/lrelease
  qt6-tools-dev qt6-l10n-tools
  libgtest-dev libgmock-dev libbenchmark-dev
  libmnl-dev libc-ares-dev libsqlite3-dev
  ieee-data python3
  iproute2 libcap2-bin util-linux
  # the test LAN: hosts that drop echoes, a name server for its hosts
  nftables dnsmasq-base
  fonts-noto-cjk
  locales
  clang libclang-rt-14-dev clang-format clang-tidy
  xvfb xauth
  desktop-file-utils appstream dpkg-dev file
  # the install tests: lintian, the manual page, the units, the completion
  lintian groff-base man-db systemd bash-completion
)
# The benchmarks' peers on the test LAN, only for scripts/bench.sh.
if [[ ${1:-} == --bench ]]; then packages+=(fping nmap arp-scan); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The profile-file tests run under a GBK locale as well as UTF-8, the English
# windows' tests under en_US.UTF-8.
generate() {
  local name=$1 input=$2 charmap=$3
  locale -a 2>/dev/null | grep -qix "${name/UTF-8/utf8}" && return
  local as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" localedef -i "$input" -f "$charmap" "$name" 2>/dev/null ||
    echo "setup: could not generate $name; the tests that use it skip or fall back to the C locale"
}
generate zh_CN.GBK zh_CN GBK
generate en_US.UTF-8 en_US UTF-8
