#!/usr/bin/env bash
# Time from process start to the port line, with the settings file already holding what
# the start saves (nothing is written) against the same settings in a file that differs
# by one trailing space (the start replaces it: a new file, two syncs, a rename). Both
# variants alternate in one run on the virtual microphone, so they share the machine's
# load. Also prints the PortAudio start-up floor for comparison: the gap between the
# first log line of the engine and "音频流已启动".
#
# Usage: bash bench/settings_write_time.sh [BUILD_DIR] [RUNS]   (default build, 15 per variant)
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
runs="${2:-15}"
capture="$build/sondrel-capture"
[ -x "$capture" ] || { echo "missing $capture" >&2; exit 2; }

tmp="$(mktemp -d /tmp/settings_write_time.XXXXXX)"
capture_pid=""
cleanup() {
  [ -n "$capture_pid" ] && kill -9 "$capture_pid" 2>/dev/null || true
  if [ -f "$tmp/pulse/pid" ]; then kill "$(cat "$tmp/pulse/pid")" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

. "$(dirname "${BASH_SOURCE[0]}")/virtual_mic.sh"
start_virtual_mic "$tmp"

# Starts the capture, waits for its port line, ends it. Prints the milliseconds to the
# port line, then those of PortAudio's part (engine start to stream started) from the log.
run_once() {
  rm -f "$tmp/stdin" "$tmp/out" "$tmp/log"
  mkfifo "$tmp/stdin"
  exec 3<>"$tmp/stdin"
  local start_ns port_ns
  start_ns=$(date +%s%N)
  "$capture" "$tmp/settings.json" "$tmp/log" < "$tmp/stdin" > "$tmp/out" 2>/dev/null &
  capture_pid=$!
  for _ in $(seq 4000); do
    grep -q '^{ "port": [0-9]* }$' "$tmp/out" 2>/dev/null && break
    sleep 0.002
  done
  port_ns=$(date +%s%N)
  echo exit >&3
  wait "$capture_pid" || true
  capture_pid=""
  exec 3>&-
  echo $(( (port_ns - start_ns) / 1000000 ))
}

run_once > /dev/null # writes the settings file of the default device
cp "$tmp/settings.json" "$tmp/same.json"
{ cat "$tmp/same.json"; printf ' '; } > "$tmp/differs.json"

skipped=()
written=()
for _ in $(seq "$runs"); do
  cp "$tmp/same.json" "$tmp/settings.json"
  skipped+=("$(run_once)")
  cmp -s "$tmp/settings.json" "$tmp/same.json" || { echo "the identical file was changed" >&2; exit 1; }
  cp "$tmp/differs.json" "$tmp/settings.json"
  written+=("$(run_once)")
  cmp -s "$tmp/settings.json" "$tmp/same.json" || { echo "the differing file was not rewritten" >&2; exit 1; }
done

stats() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1; s+=$1} END {printf "median=%d mean=%.1f min=%d max=%d", a[int((NR+1)/2)], s/NR, a[1], a[NR]}'; }
echo "runs_per_variant=$runs"
echo "port_line_ms_file_already_holds_the_text: $(stats "${skipped[@]}")"
echo "port_line_ms_file_rewritten:              $(stats "${written[@]}")"
med() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo "median_saving_ms=$(( $(med "${written[@]}") - $(med "${skipped[@]}") ))"
