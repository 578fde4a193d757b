#!/usr/bin/env bash
# Fails when a C++ file of ours differs from what clang-format (.clang-format at the top)
# makes of it, and names the files. `bash tools/check-format.sh --fix` rewrites them.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! report="$(clang-format --dry-run -Werror "${files[@]}" 2>&1)"; then
  echo "not formatted (bash tools/check-format.sh --fix):" >&2
  echo "$report" | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error:.*/  \1/p' | sort -u >&2
  exit 1
fi
echo "format: ${#files[@]} files as clang-format makes them"
