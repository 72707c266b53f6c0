#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# clang-format over the tree's own C++ files (those git knows), and the
# licence line at the top of every source file.
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

# Every source file names its licence in its first lines (LICENSE: MIT).
mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*CMakeLists.txt' '*.cmake' '*.sh' .ci/run \
  data/Tessor.1 data/Tessor.bash data/'*.in' data/'*.timer' data/'*.desktop' packaging/postinst.in)
missing=()
for f in "${sources[@]}"; do
  head -n 3 "$f" | grep -q 'SPDX-License-Identifier: MIT' || missing+=("$f")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "format: no SPDX-License-Identifier line at the top of:" >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
fi
