#!/usr/bin/env bash
# Short bounded fuzz runs of the settings reader, the command path and the WebSocket
# endpoint. Usage: bash tools/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
# The committed seed corpora stay untouched; new inputs go to build-fuzz/corpus/.
# A crash leaves its input in build-fuzz/artifacts/ and ends the script non-zero.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
seconds="${1:-60}"
bash tools/setup.sh >/dev/null

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSONDREL_FUZZ=ON -DBUILD_TESTING=OFF -DSONDREL_BENCH=OFF >/dev/null
cmake --build build-fuzz -j2 --target fuzz_settings fuzz_commands fuzz_server

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p build-fuzz/artifacts
status=0
for target in settings commands server; do
  work="build-fuzz/corpus/$target"
  mkdir -p "$work"
  cp -n tests/fuzz/corpus/$target/* "$work"/ 2>/dev/null || true
  echo "=== fuzz_$target, ${seconds}s ==="
  if ! "build-fuzz/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$target-" "$work" \
        > "build-fuzz/fuzz_$target.log" 2>&1; then
    status=1
    echo "fuzz_$target found a failure; see build-fuzz/fuzz_$target.log and build-fuzz/artifacts/"
  fi
  grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb" "build-fuzz/fuzz_$target.log" || true
done
exit $status
