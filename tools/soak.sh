#!/usr/bin/env bash
# Bounded soak run of the real binary on the virtual microphone under Xvfb: clients
# connect and drop, hundreds of commands arrive on stdin and over the socket, the panel
# is shown and hidden, the device list refreshed and the device re-selected, the tone
# stopped and restarted. Prints the figures (RSS, threads, counts) at the end.
# The churn soak checks one client's stream block by block, beside a plain recorder of
# the same source, while the window opens and closes, careless peers come by and the
# client reconnects; it prints every break and memory, descriptors and threads per minute.
# Usage: bash tools/soak.sh [SECONDS] [mixed|churn|all]   (mixed: the mixed soak and the
#   hostile peers' minute-long watches; churn: the churn soak)
#   SECONDS: each soak's length (default 90; the mixed one takes about twice that)
#   default all. For the figures of docs/reliability.md: bash tools/soak.sh 1800 churn,
#   with two `yes > /dev/null` running.
# Environment: SOAK_BUILD_DIR (default build-soak), SONDREL_SANITIZE (empty, address, thread),
# SONDREL_CAPTURE_UNDER_TEST (another sondrel-capture to soak, such as an older build).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
export SONDREL_SOAK_SECONDS="${1:-90}"
case "${2:-all}" in
  mixed) only=(-E '^churn_soak$') ;;
  churn) only=(-R '^churn_soak$') ;;
  all) only=() ;;
  *) echo "usage: bash tools/soak.sh [SECONDS] [mixed|churn|all]" >&2; exit 2 ;;
esac
dir="${SOAK_BUILD_DIR:-build-soak}"
bash tools/setup.sh >/dev/null

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_SOAK=ON -DSONDREL_BENCH=OFF \
  -DSONDREL_SANITIZE="${SONDREL_SANITIZE:-}" >/dev/null
cmake --build "$dir" -j2 --target sondrel-capture reliability_soak_test churn_soak_test

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$top/tests/tsan.supp"
export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp"
ctest --test-dir "$dir" -L soak "${only[@]}" --output-on-failure -V
