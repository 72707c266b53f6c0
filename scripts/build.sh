#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds one preset of CMakePresets.json (dev, release, asan,
# fuzz, release-tests-clang, package) into its folder: build/ for release,
# build-<preset>/ for the others, or $BUILD_DIR. Extra arguments go to CMake's
# configure step; $BUILD_TARGET builds that target only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=${1:?usage: scripts/build.sh PRESET [cmake arguments]}
shift
if [ "$preset" = release ]; then dir=$root/build; else dir=$root/build-$preset; fi
dir=${BUILD_DIR:-$dir}
# ccache makes a developer's rebuilds cheap; a machine without it builds plainly.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# A folder an older script configured with Makefiles is configured afresh.
fresh=()
if [ -f "$dir/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt"; then
  fresh=(--fresh)
fi
(cd "$root" && cmake --preset "$preset" -B "$dir" "${fresh[@]}" "${launcher[@]}" "$@" >/dev/null)
cmake --build "$dir" -j "$(nproc)" ${BUILD_TARGET:+--target $BUILD_TARGET}
