#!/usr/bin/env bash
# Bounded fuzz runs of the settings reader, the command path, the WebSocket endpoint and
# the settings window's font check with its atlas build.
# Usage: bash tools/fuzz.sh [--runs N] [SECONDS_PER_TARGET] [TARGET...]
#   SECONDS_PER_TARGET defaults to 60; --runs N runs each target on N inputs instead (the
#   address stage of tools/run-tests.sh runs the font target that way).
#   TARGET: settings, commands, server, font (default: all four).
# The committed seed corpora stay untouched; new inputs go to build-fuzz/corpus/. The font
# target is seeded at every run with the shipped font (./SourceHanSansSC-VF.ttf), the
# fonts-dejavu-core font and the damaged fonts that tests/fuzz/fonts/make-fonts.sh
# rebuilds (SONDREL_DAMAGED_FONTS names another copy of that script).
# A crash leaves its input in build-fuzz/artifacts/ and ends the script non-zero.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"

runs=""
if [ "${1:-}" = "--runs" ]; then
  runs="$2"
  shift 2
fi
seconds=60
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds="$1"
  shift
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(settings commands server font)
damaged_fonts="${SONDREL_DAMAGED_FONTS:-$top/tests/fuzz/fonts/make-fonts.sh}"
bash tools/setup.sh >/dev/null

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSONDREL_FUZZ=ON -DBUILD_TESTING=OFF -DSONDREL_BENCH=OFF >/dev/null
cmake --build build-fuzz -j2 --target "${targets[@]/#/fuzz_}"

# Seeds of the font target, made afresh: nothing of them is kept in the repository.
seed_fonts() {
  local dir="$1"
  rm -rf "$dir"
  mkdir -p "$dir"
  [ -e SourceHanSansSC-VF.ttf ] && cp -L SourceHanSansSC-VF.ttf "$dir/shipped.ttf"
  cp /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf "$dir/"
  # Inputs that once broke the font check: a run without them proves less, so it fails.
  bash "$damaged_fonts" "$dir" >/dev/null || { echo "the damaged fonts could not be made ($damaged_fonts)" >&2; return 1; }
}

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p build-fuzz/artifacts
status=0
for target in "${targets[@]}"; do
  work="build-fuzz/corpus/$target"
  mkdir -p "$work"
  corpora=("$work")
  extra=()
  if [ "$target" = font ]; then
    seed_fonts build-fuzz/seeds/font
    corpora+=(build-fuzz/seeds/font)
    # The shipped font is about 5 MB; libFuzzer would cut it to 1 MB.
    extra=(-max_len=$((8 << 20)))
  else
    cp -n tests/fuzz/corpus/$target/* "$work"/ 2>/dev/null || true
  fi
  if [ -n "$runs" ]; then
    limit=(-runs="$runs" -seed=1)
    echo "=== fuzz_$target, $runs inputs ==="
  else
    limit=(-max_total_time="$seconds")
    echo "=== fuzz_$target, ${seconds}s ==="
  fi
  if ! "build-fuzz/tests/fuzz/fuzz_$target" "${limit[@]}" "${extra[@]}" -timeout=30 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$target-" "${corpora[@]}" \
        > "build-fuzz/fuzz_$target.log" 2>&1; then
    status=1
    echo "fuzz_$target found a failure; see build-fuzz/fuzz_$target.log and build-fuzz/artifacts/"
  fi
  grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb" "build-fuzz/fuzz_$target.log" || true
done
exit $status
