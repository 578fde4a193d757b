#!/usr/bin/env bash
# CPU use of sondrel-capture streaming 48000 Hz capture to one client, against the floor
# of capturing and resampling alone, both on the virtual microphone with a 1 kHz tone.
# Also: time from process start to the port line, Pa_Initialize's own time, resident
# memory. Goals: CPU ratio <= 1.3, port line within 1.5 s.
#
# Usage: bash bench/stream_cpu.sh [BUILD_DIR] [SECONDS]   (default build-server, 10)
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build-server}"
seconds="${2:-10}"
capture="$build/sondrel-capture"
floor="$build/bench/server/bench_capture_floor"
client="$build/bench/server/bench_stream_client"
for binary in "$capture" "$floor" "$client"; do
  [ -x "$binary" ] || { echo "missing $binary (build sondrel-capture bench_capture_floor bench_stream_client)" >&2; exit 2; }
done

tmp="$(mktemp -d /tmp/stream_cpu.XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  sleep 0.3
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  if [ -f "$tmp/pulse/pid" ]; then kill "$(cat "$tmp/pulse/pid")" 2>/dev/null || true; fi
  exec 3>&- 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

. "$(dirname "${BASH_SOURCE[0]}")/virtual_mic.sh"
start_virtual_mic "$tmp"

python3 - "$tmp/tone.raw" $((seconds + 40)) <<'PY'
import math, struct, sys
rate, seconds = 48000, int(sys.argv[2])
with open(sys.argv[1], "wb") as out:
    out.write(b"".join(struct.pack("<f", 0.5 * math.sin(2 * math.pi * 1000 * i / rate)) for i in range(rate * seconds)))
PY
paplay --raw --format=float32le --rate=48000 --channels=1 "$tmp/tone.raw" &
pids+=($!)

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# A first run writes the settings file for the default device; then only the rate changes.
mkfifo "$tmp/stdin"
"$capture" "$tmp/settings.json" "$tmp/first.log" < "$tmp/stdin" > "$tmp/first.out" 2>/dev/null &
first=$!
pids+=($first)
exec 3<>"$tmp/stdin"
for _ in $(seq 100); do [ -s "$tmp/settings.json" ] && break; sleep 0.1; done
sleep 0.3
echo exit >&3
exec 3>&-
for _ in $(seq 100); do kill -0 "$first" 2>/dev/null || break; sleep 0.1; done
python3 - "$tmp/settings.json" <<'PY'
import json, sys
path = sys.argv[1]
settings = json.load(open(path))
settings["sampleRate"] = 48000.0
json.dump(settings, open(path, "w"), indent=4)
PY

# The streaming process, timed to its port line.
rm -f "$tmp/stdin"; mkfifo "$tmp/stdin"
exec 3<>"$tmp/stdin"
start_ns=$(date +%s%N)
"$capture" "$tmp/settings.json" "$tmp/capture.log" < "$tmp/stdin" > "$tmp/capture.out" 2>"$tmp/capture.err" &
capture_pid=$!
pids+=($capture_pid)
port=""
for _ in $(seq 2000); do
  port=$(grep -m1 -o '^{ "port": [0-9]* }$' "$tmp/capture.out" 2>/dev/null | grep -o '[0-9]*' || true)
  [ -n "$port" ] && break
  sleep 0.005
done
port_ns=$(date +%s%N)
[ -n "$port" ] || { echo "no port line" >&2; exit 1; }
port_ms=$(( (port_ns - start_ns) / 1000000 ))

"$client" "$port" $((seconds + 3)) > "$tmp/client.out" &
client_pid=$!
pids+=($client_pid)
"$floor" $((seconds + 3)) > "$tmp/floor.out" 2>"$tmp/floor.err" &
floor_pid=$!
pids+=($floor_pid)

# Both warm up (capture starts after about 1-2 s), then are measured over the same window.
sleep 2.5
c0=$(cpu_ticks $capture_pid); f0=$(cpu_ticks $floor_pid); t0=$(date +%s%N)
sleep "$seconds"
c1=$(cpu_ticks $capture_pid); f1=$(cpu_ticks $floor_pid); t1=$(date +%s%N)
capture_rss=$(rss_kib $capture_pid); floor_rss=$(rss_kib $floor_pid)
wait $client_pid || true
wait $floor_pid || true
echo exit >&3

elapsed=$(awk -v a="$t0" -v b="$t1" 'BEGIN {print (b - a) / 1e9}')
capture_cpu=$(awk -v d=$((c1 - c0)) -v t="$ticks" -v e="$elapsed" 'BEGIN {printf "%.2f", 100 * d / t / e}')
floor_cpu=$(awk -v d=$((f1 - f0)) -v t="$ticks" -v e="$elapsed" 'BEGIN {printf "%.2f", 100 * d / t / e}')
ratio=$(awk -v c="$capture_cpu" -v f="$floor_cpu" 'BEGIN {if (f > 0) printf "%.2f", c / f; else print "inf"}')
pa_init=$(grep -o 'pa_initialize_ms=[0-9.]*' "$tmp/floor.out" | cut -d= -f2)
messages=$(grep -o 'messages=[0-9]*' "$tmp/client.out" | cut -d= -f2)
rate=$(grep -o 'rate=[0-9.]*' "$tmp/client.out" | cut -d= -f2)
wrong=$(grep -o 'wrong_size=[0-9]*' "$tmp/client.out" | cut -d= -f2)

echo "window_s=$elapsed"
echo "capture_cpu_percent=$capture_cpu"
echo "floor_cpu_percent=$floor_cpu"
echo "cpu_ratio=$ratio (goal <= 1.3)"
echo "port_line_ms=$port_ms (goal <= 1500)"
echo "pa_initialize_ms=$pa_init"
echo "capture_rss_kib=$capture_rss"
echo "floor_rss_kib=$floor_rss"
echo "client_messages=$messages rate_per_s=$rate wrong_size=$wrong"
