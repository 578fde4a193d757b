#!/usr/bin/env bash
# The first callback of a stream in a fresh process (nothing of libsamplerate in memory
# yet), 40 frames at 48 kHz, whose period is 833 us: with the converter made in that
# callback, as it used to be, against the converter made when the stream is opened.
# The two alternate, RUNS times each.
#
# Usage: bash bench/first_callback_cold.sh [BUILD_DIR] [RUNS]   (default build, 20)
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
runs="${2:-20}"
bench="$build/bench/audio/bench_capture_callback"
[ -x "$bench" ] || { echo "missing $bench" >&2; exit 2; }

old=(); open=(); first=()
for _ in $(seq "$runs"); do
  old+=("$("$bench" --cold converter-in-callback | sed -n 's/^first_callback_us=//p')")
  line="$("$bench" --cold converter-at-open)"
  open+=("$(echo "$line" | sed -n 's/^open_us=\([0-9.]*\) .*/\1/p')")
  first+=("$(echo "$line" | sed -n 's/.*first_callback_us=//p')")
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo "runs=$runs"
echo "first_callback_us_converter_made_in_it: median=$(median "${old[@]}")"
echo "first_callback_us_converter_made_at_open: median=$(median "${first[@]}") (opening the context: median=$(median "${open[@]}") us)"
