#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# clang-tidy (the checks in .clang-tidy) over the programs' own sources, using
# the compile commands of a configured build folder (default build/).
# Tests, benchmarks and fuzzers are left out: they double the time and the
# checks are about the programs' code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy: $build/compile_commands.json is missing; configure the build first" >&2
  exit 1
fi
run-clang-tidy -quiet -p "$build" -j "$(nproc)" \
  "$root/(platform/[a-z]+|echo|contract|worker|settings|sweep|scanner|windows)/[^/]+\.cpp$"
