#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds Varnex with its tests (dev preset: warnings are errors) and runs the
# whole suite inside a private network namespace with only loopback up, so that
# no test packet can leave the machine, and in a PID namespace of its own, so
# that no test can signal a process outside the run. Before the tests, the
# format is checked (scripts/format.sh) and clang-tidy runs over the programs'
# sources (scripts/tidy.sh; VARNEX_SKIP_TIDY=1 skips it). Then the core
# libraries' tests run again under ASan+UBSan (asan preset), the readers of
# what other programs write (frames, kept sweeps, the IEEE registry, profile
# files) are fuzzed for a bounded time (fuzz preset), and the programs'
# Release build is compiled by clang as well, so that a packager's build with
# the other compiler is known to work. Each step's wall time is printed, so a
# slow CI run shows where its time went.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-dev}
step_start=$SECONDS
step() {
  echo "test: $1 took $((SECONDS - step_start)) s" >&2
  step_start=$SECONDS
}
"$root/scripts/setup.sh"
step setup

BUILD_DIR=$build "$root/scripts/build.sh" dev
step "dev build"

# The format and the static analysis are checked before any test runs.
"$root/scripts/format.sh"
if [ "${VARNEX_SKIP_TIDY:-0}" != 1 ]; then
  BUILD_DIR=$build "$root/scripts/tidy.sh"
fi
step "format and tidy"

# The machine's own network namespace, recorded before the private one is
# made: inside a PID namespace /proc/1 is that namespace's init, so the test
# LAN's guard compares with this instead.
VARNEX_MACHINE_NETNS=$(stat -L -c %i /proc/self/ns/net)
export VARNEX_MACHINE_NETNS
# The suites run as root here, where every test LAN can be built: one that
# would skip fails instead.
export VARNEX_REQUIRE_LAN=1
# Every temporary folder of the run lives in one folder, removed at the end,
# also what a test killed by its time-out leaves behind.
run_tmp=$(mktemp -d "${TMPDIR:-/tmp}/varnex-run-XXXXXX")
trap 'rm -rf -- "$run_tmp"' EXIT
export TMPDIR=$run_tmp

# Runs the bash script $1 with loopback up in a private network namespace and
# a PID namespace of its own: a test that signals a process it did not start
# (kill(-1) as root) ends the run, never the machine.
in_private_net() {
  # --mount keeps the test network's namespace mounts and tmpfs mounts private too.
  local user=()
  [ "$(id -u)" -eq 0 ] || user=(--user --map-root-user)
  unshare "${user[@]}" --net --mount --propagation private --pid --fork --mount-proc -- \
    bash -c "set -euo pipefail; ip link set lo up; $1"
}

export VARNEX_BUILD=$build
in_private_net '
  if ip route show default | grep -q .; then echo "test: a default route exists in the test namespace" >&2; exit 1; fi
  cd "$VARNEX_BUILD"
  ctest --output-on-failure -j "$(nproc)" --timeout 300 '"${CTEST_ARGS:-}"'
'
step tests

if [ "${VARNEX_SKIP_SANITIZE:-0}" != 1 ]; then
  san=$root/build-asan
  BUILD_DIR=$san BUILD_TARGET=core_tests "$root/scripts/build.sh" asan
  step "sanitizer build"
  export VARNEX_BUILD=$san
  in_private_net '
    cd "$VARNEX_BUILD"
    ctest --output-on-failure -j "$(nproc)" --timeout 300 -L core
  '
  step "sanitizer tests"
fi

# A short, bounded fuzzing of what another program's bytes reach first: the
# frame decoders and the object server's dispatcher (a peer's), the kept
# sweeps, the IEEE registry files and the profile files (files an older
# version, another package or a hand wrote). Each starts from the seeds in
# fuzz/corpus/<name> (the registry reader also from the installed registry
# files) and keeps what it learns in build-fuzz/corpus-<name>.
if [ "${VARNEX_SKIP_FUZZ:-0}" != 1 ]; then
  if command -v clang++ >/dev/null 2>&1; then
    fuzz=$root/build-fuzz
    BUILD_DIR=$fuzz BUILD_TARGET=fuzzers "$root/scripts/build.sh" fuzz
    step "fuzz build"
    export VARNEX_FUZZ_DIR=$fuzz VARNEX_FUZZ_SEEDS=$root/fuzz/corpus
    in_private_net '
      run_fuzzer() {
        local name=$1 seconds=$2 len=$3; shift 3
        mkdir -p "$VARNEX_FUZZ_DIR/corpus-$name"
        echo "fuzzing $name for $seconds s" >&2
        (cd "$VARNEX_FUZZ_DIR" && "$VARNEX_FUZZ_DIR/bin/fuzz_$name" -max_total_time="$seconds" \
          -max_len="$len" -timeout=10 -print_final_stats=1 \
          "$VARNEX_FUZZ_DIR/corpus-$name" "$VARNEX_FUZZ_SEEDS/$name" "$@")
      }
      run_fuzzer frames 30 4096
      run_fuzzer kept_sweep 20 16384
      vendors_seeds=()
      [ -d /usr/share/ieee-data ] && vendors_seeds=(/usr/share/ieee-data)
      run_fuzzer vendors 20 4096 "${vendors_seeds[@]}"
      run_fuzzer profile 20 4096
    '
    step fuzzing
  else
    echo "test: clang++ is missing, so nothing is fuzzed (apt-get install clang)" >&2
  fi
fi

# Build only: the dev preset compiles with GCC; a packager may use clang, and
# builds the programs (the tests were compiled above). No -Werror here, but a
# warning still shows in the log.
if [ "${VARNEX_SKIP_CLANG:-0}" != 1 ]; then
  BUILD_DIR=$root/build-release-tests-clang BUILD_TARGET="Tessor Morvel" \
    "$root/scripts/build.sh" release-tests-clang
  step "clang build"
fi
