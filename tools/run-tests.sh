#!/usr/bin/env bash
# Builds and runs the whole test suite: a plain optimised build, then
# AddressSanitizer+UndefinedBehaviorSanitizer, then ThreadSanitizer, then the Windows
# build under Wine (tools/test-windows.sh).
# Usage: bash tools/run-tests.sh [plain|address|thread|windows ...]   (default: all four)
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
bash tools/setup.sh

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(plain address thread windows)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$top/tests/tsan.supp"
export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp"

status=0
for stage in "${stages[@]}"; do
  case "$stage" in
    plain)   dir=build-test;  sanitize="" ;;
    address) dir=build-asan;  sanitize=address ;;
    thread)  dir=build-tsan;  sanitize=thread ;;
    windows) bash tools/test-windows.sh || status=1; continue ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
  esac
  echo "=== $stage build ($dir) ==="
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_SANITIZE="$sanitize" \
        -DSONDREL_BENCH="$([ "$stage" = plain ] && echo ON || echo OFF)" >/dev/null
  cmake --build "$dir" -j2
  echo "=== $stage tests ==="
  if ! ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300; then
    status=1
  fi
done
exit $status
