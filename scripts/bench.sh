#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs the benchmarks, all or those named:
#   scripts/bench.sh [echo objects report sweep_cli worker window]
# inside a private network namespace, so their packets stay on this machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-dev}
"$root/scripts/setup.sh" --bench
BUILD_DIR=$build "$root/scripts/build.sh" dev
names=("$@")
if ((${#names[@]} == 0)); then
  for f in "$build"/bin/bench_*; do names+=("$(basename "$f" | sed 's/^bench_//')"); done
fi
for n in "${names[@]}"; do
  echo "== bench_$n"
  unshare --net --mount --propagation private -- bash -c "ip link set lo up; '$build/bin/bench_$n'"
done
