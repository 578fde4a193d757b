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

# Repeated runs on one machine rebuild only what changed, also from a clone in another
# folder: ccache sees paths relative to the clone, and the working directory a build
# records in its debug information does not count.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=1
fi
# Tests that start the real program mostly wait (for a sound server, a window, a
# client), so more of them run at once than there are cores.
test_jobs="${SONDREL_TEST_JOBS:-4}"
source tools/stage-times.sh

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
  (cd clients/node && npm ci --no-audit --no-fund --loglevel=error) || return 1
  stage_built
  echo "=== kit tests ==="
  echo "--- Node module (clients/node) ---"
  SONDREL_CAPTURE="$binary" stage_node_test clients/node || ok=1
  echo "--- browser page (examples/browser) ---"
  SONDREL_CAPTURE="$binary" stage_node_test examples/browser || ok=1
  echo "--- Debian package ---"
  if (cd build-test && cpack -G DEB >/dev/null) && bash tools/check-package.sh build-test; then
    stage_run=$((stage_run + 1))
  else
    stage_run=$((stage_run + 1)) stage_failed=$((stage_failed + 1)) ok=1
  fi
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
    stage_begin kit
    run_kit || status=1
    stage_end
    continue
  fi
  if [ "$stage" = windows ]; then
    bash tools/test-windows.sh || status=1
    continue
  fi
  stage_begin "$stage"
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
  stage_built
  echo "=== $stage tests ==="
  # The minute-long memory watches are part of the soak run (tools/soak.sh), not of a stage.
  # The window tests (label gui) run under AddressSanitizer; under ThreadSanitizer they
  # mostly exercise the software OpenGL driver, whose threads it cannot see into, at a
  # quarter of the speed. ThreadSanitizer runs the in-process tests and the process
  # tests whose threads meet: clients connecting, closing and displacing each other while
  # audio streams (each with the rate converter or the low-latency wake-up it asked
  # for), a parent's switch of microphone, a flood on standard input, stop
  # signals and exits while the sound server is frozen, a restart of the sound server,
  # the whole process stopped while its stream runs, another user's siege; the other
  # process tests run in the plain and address stages.
  case "$stage" in
    plain)   tests=(-LE soak) ;;
    address) tests=(-LE soak) ;;
    thread)  tests=(-LE 'process|e2e|reliability|gui|soak') ;;
  esac
  if ! stage_ctest --test-dir "$dir" --output-on-failure --no-tests=error -j"$test_jobs" --timeout 300 "${tests[@]}"; then
    status=1
  fi
  if [ "$stage" = thread ]; then
    threaded='^(CaptureE2eTest\.(OnlyTheNewestClientReceivesAudioAndKeepsItWhenTheOlderCloses|DisconnectedMessageStopsAudioAndConnectedResumesIt|CommandEchoesStayWholeWhileAudioStreams)'
    threaded+='|HostilePeers\.(EveryReconnectStartsWithFreshAudio|ParentThatFloodsStandardInputIsHeldBack|CommandsThatShareAReadAreAllTaken)'
    threaded+='|ParentChoice\.(EachDeviceInTurnCarriesTheStreamToTheClient|WatchTellsWhenTheSoundServerFreezesAndComesBack)'
    threaded+='|SoundStack\.(FrozenServerHoldsUpNeitherCommandsNorTheExit|StopSignalDuringAFreezeEndsWithinThreeSeconds'
    threaded+='|SecondStopSignalEndsTheProcessAtOnceWhileStdoutIsBlocked|RestartedServerBringsAudioBackToTheSameClient'
    threaded+='|ClientThatReconnectsWhileTheMainThreadIsStuckGetsAnUnbrokenStream'
    threaded+='|InputLostWhileTheProcessWasStoppedIsLoggedAndAShortStopIsNot)'
    threaded+='|StreamOptionsE2e\.EachClientGetsTheRateFormatAndBlockItAskedFor'
    threaded+='|CaptureProcess\.(InterruptShutsDownInOrder|UnwritableLogPathIsSilent)'
    threaded+='|WhoMayConnect\.(AnotherUserCannotLockTheParentOut|WithATokenAnotherUsersSiegeDoesNotKeepTheBearerOut))$'
    if ! stage_ctest --test-dir "$dir" --output-on-failure --no-tests=error -j"$test_jobs" --timeout 300 \
         -R "$threaded"; then
      status=1
    fi
  fi
  report_skips "$dir" "$stage"
  if [ "$stage" = address ]; then
    # The font check and atlas build under libFuzzer (clang, build-fuzz), a fixed number
    # of inputs from the shipped font and the damaged fonts of the shared fuzz folder.
    echo "=== address: fuzz_font, fixed inputs ==="
    bash tools/fuzz.sh --runs 1000 font || { status=1; stage_failed=$((stage_failed + 1)); }
    stage_run=$((stage_run + 1))
  fi
  stage_end
done
print_stage_table
exit $status
