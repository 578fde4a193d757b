#!/usr/bin/env bash
# Bounded soak run of the real binary on the virtual microphone under Xvfb: clients
# connect and drop, hundreds of commands arrive on stdin and over the socket, the panel
# is shown and hidden, the device list refreshed and the device re-selected, the tone
# stopped and restarted. Prints the figures (RSS, threads, counts) at the end.
# Usage: bash tools/soak.sh [SECONDS]   (default 90; the whole run takes about twice that)
# Environment: SOAK_BUILD_DIR (default build-soak), SONDREL_SANITIZE (empty, address, thread),
# SONDREL_CAPTURE_UNDER_TEST (another sondrel-capture to soak, such as an older build).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
export SONDREL_SOAK_SECONDS="${1:-90}"
dir="${SOAK_BUILD_DIR:-build-soak}"
bash tools/setup.sh >/dev/null

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_SOAK=ON -DSONDREL_BENCH=OFF \
  -DSONDREL_SANITIZE="${SONDREL_SANITIZE:-}" >/dev/null
cmake --build "$dir" -j2 --target sondrel-capture reliability_soak_test

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$top/tests/tsan.supp"
export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp"
ctest --test-dir "$dir" -L soak --output-on-failure -V
