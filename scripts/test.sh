#!/usr/bin/env bash
# Builds Varnex with its tests and runs the whole suite inside a private network
# namespace with only loopback up, so that no test packet can leave the machine.
# Before the tests, the format is checked (scripts/format.sh) and clang-tidy
# runs over the programs' sources (scripts/tidy.sh; VARNEX_SKIP_TIDY=1 skips it).
# Then the core libraries' tests run again under ASan+UBSan, and the frame
# decoder is fuzzed for a bounded time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"

BUILD_DIR=$build "$root/scripts/build.sh"

# The format and the static analysis are checked before any test runs.
"$root/scripts/format.sh"
if [ "${VARNEX_SKIP_TIDY:-0}" != 1 ]; then
  BUILD_DIR=$build "$root/scripts/tidy.sh"
fi

in_private_net() {
  # --mount keeps the test network's namespace mounts and tmpfs mounts private too.
  if [ "$(id -u)" -eq 0 ]; then
    unshare --net --mount --propagation private -- "$@"
  else
    unshare --user --map-root-user --net --mount --propagation private -- "$@"
  fi
}

export VARNEX_BUILD=$build
in_private_net bash -c '
  set -euo pipefail
  ip link set lo up
  if ip route show default | grep -q .; then echo "test: a default route exists in the test namespace" >&2; exit 1; fi
  cd "$VARNEX_BUILD"
  ctest --output-on-failure -j "$(nproc)" --timeout 300 '"${CTEST_ARGS:-}"'
'

if [ "${VARNEX_SKIP_SANITIZE:-0}" != 1 ]; then
  san=${build}-asan
  BUILD_DIR=$san BUILD_TARGET=core_tests "$root/scripts/build.sh" -DVARNEX_SANITIZE=ON -DVARNEX_BENCH=OFF
  export VARNEX_BUILD=$san
  in_private_net bash -c '
    set -euo pipefail
    ip link set lo up
    cd "$VARNEX_BUILD"
    ctest --output-on-failure -j "$(nproc)" --timeout 300 -L core
  '
fi

# A short, bounded fuzzing of what a peer's bytes reach first: the frame
# decoders and the object server's dispatcher.
if [ "${VARNEX_SKIP_FUZZ:-0}" != 1 ]; then
  if command -v clang++ >/dev/null 2>&1; then
    fuzz=${build}-fuzz
    CC=clang CXX=clang++ BUILD_DIR=$fuzz BUILD_TARGET=fuzz_frames "$root/scripts/build.sh" \
      -DVARNEX_FUZZ=ON -DVARNEX_TESTS=OFF -DVARNEX_BENCH=OFF
    mkdir -p "$fuzz/corpus"
    export VARNEX_FUZZ_BIN=$fuzz/bin/fuzz_frames VARNEX_FUZZ_CORPUS=$fuzz/corpus
    export VARNEX_FUZZ_SEEDS=$root/fuzz/corpus
    in_private_net bash -c '
      set -euo pipefail
      ip link set lo up
      "$VARNEX_FUZZ_BIN" -max_total_time=40 -max_len=4096 -timeout=10 \
        "$VARNEX_FUZZ_CORPUS" "$VARNEX_FUZZ_SEEDS"
    '
  else
    echo "test: clang++ is missing, so the frames are not fuzzed (apt-get install clang)" >&2
  fi
fi
