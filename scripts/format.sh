#!/usr/bin/env bash
# clang-format over the tree's own C++ files (those git knows).
#   scripts/format.sh          check: lists the files that differ, fails if any
#   scripts/format.sh --fix    rewrites them in place
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
case "${1:-}" in
  --fix) clang-format -i "${files[@]}" ;;
  "")
    if ! out=$(clang-format --dry-run --Werror "${files[@]}" 2>&1); then
      echo "format: not clang-format clean (scripts/format.sh --fix):" >&2
      grep -oE '^[^:]+:[0-9]+:[0-9]+: error' <<<"$out" | cut -d: -f1 | sort -u | sed 's/^/  /' >&2
      exit 1
    fi
    ;;
  *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac
