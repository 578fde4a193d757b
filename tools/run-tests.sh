#!/usr/bin/env bash
# Builds and runs the whole test suite: a plain optimised build; the integrator kit
# against it (the Node module's tests, the browser page in headless Chromium, and the
# Debian package installed, tried and removed); then AddressSanitizer+UndefinedBehavior-
# Sanitizer (with a fixed run of the font fuzz target), then ThreadSanitizer builds; then
# the Windows build under Wine (tools/test-windows.sh).
# Usage: bash tools/run-tests.sh [plain|kit|address|thread|windows ...]   (default: all five)
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
bash tools/setup-tests.sh

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(plain kit address thread windows)

# Repeated runs on one machine rebuild only what changed.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

configure_plain() {
  cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_SANITIZE= -DSONDREL_BENCH=ON \
        -DSONDREL_WERROR=ON "${launcher[@]}" >/dev/null
}

# The kit runs against the plain build's programs, and packages them.
run_kit() {
  local binary="$top/build-test/sondrel-capture" ok=0
  echo "=== kit build (build-test) ==="
  # (set -e does not reach into a function called as `run_kit || ...`.)
  configure_plain || return 1
  cmake --build build-test -j2 || return 1
  echo "=== kit tests ==="
  (cd clients/node && npm ci --no-audit --no-fund --loglevel=error) || return 1
  echo "--- Node module (clients/node) ---"
  (cd clients/node && SONDREL_CAPTURE="$binary" node --test test/*.test.js) || ok=1
  echo "--- browser page (examples/browser) ---"
  (cd examples/browser && SONDREL_CAPTURE="$binary" node --test test/*.test.js) || ok=1
  echo "--- Debian package ---"
  (cd build-test && cpack -G DEB >/dev/null) && bash tools/check-package.sh build-test || ok=1
  return $ok
}

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$top/tests/tsan.supp"
export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp"

# Skipped tests, each with the reason it gave (GTEST_SKIP), from the last ctest run in
# build dir $1: CTest's own summary names them but not why.
report_skips() {
  local log="$1/Testing/Temporary/LastTest.log"
  [ -f "$log" ] || return 0
  awk 'function show(line, reason) {
         sub(/^\[  SKIPPED \] /, "", line); sub(/ \([0-9]+ ms\)$/, "", line)
         printf "  %s: %s\n", line, (reason == "" ? "(no reason given)" : reason)
       }
       /: Skipped$/ { reason = ""; pending = 1
                      if ((getline line) > 0) { if (line ~ /^\[  SKIPPED \] /) { show(line, ""); pending = 0 } else reason = line }
                      next }
       pending && /^\[  SKIPPED \] / { show($0, reason); pending = 0 }' "$log" | sort -u > "$1/skipped.txt"
  if [ -s "$1/skipped.txt" ]; then
    echo "=== $2: skipped tests ==="
    cat "$1/skipped.txt"
  fi
}

status=0
echo "=== format ==="
bash tools/check-format.sh || status=1
for stage in "${stages[@]}"; do
  if [ "$stage" = kit ]; then
    run_kit || status=1
    continue
  fi
  if [ "$stage" = windows ]; then
    bash tools/test-windows.sh || status=1
    continue
  fi
  case "$stage" in
    plain)   dir=build-test;  sanitize="" ;;
    address) dir=build-asan;  sanitize=address ;;
    thread)  dir=build-tsan;  sanitize=thread ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
  esac
  echo "=== $stage build ($dir) ==="
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_SANITIZE="$sanitize" -DSONDREL_WERROR=ON \
        -DSONDREL_BENCH="$([ "$stage" = plain ] && echo ON || echo OFF)" "${launcher[@]}" >/dev/null
  cmake --build "$dir" -j2
  echo "=== $stage tests ==="
  # The minute-long memory and log watches (label long) assert only in the plain build.
  # The window tests (label gui) run under AddressSanitizer; under ThreadSanitizer they
  # mostly exercise the software OpenGL driver, whose threads it cannot see into, at a
  # quarter of the speed. The panel's own state shared with the audio engine is covered
  # there by the panel's unit tests. The sound server's freezes and restarts and the bad
  # input cases (SoundStack, BadInput: minutes of waiting out time-outs, with little on
  # more than one thread) run in the other two builds only, which keeps the whole suite
  # within the hour.
  case "$stage" in
    plain)   skip=() ;;
    address) skip=(-LE long) ;;
    thread)  skip=(-LE 'long|gui' -E '^(SoundStack|BadInput)\.') ;;
  esac
  if ! ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2 --timeout 300 "${skip[@]}"; then
    status=1
  fi
  report_skips "$dir" "$stage"
  if [ "$stage" = address ]; then
    # The font check and atlas build under libFuzzer (clang, build-fuzz), a fixed number
    # of inputs from the shipped font and the damaged fonts of the shared fuzz folder.
    echo "=== address: fuzz_font, fixed inputs ==="
    bash tools/fuzz.sh --runs 1000 font || status=1
  fi
done
exit $status
