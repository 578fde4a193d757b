#!/usr/bin/env bash
# The Windows build under Wine next to the Linux build on the same machine, on the
# virtual microphone with a 1 kHz tone at 48000 Hz, one client connected:
#   - time from process start to the port line: under Wine with its server not running
#     (first start) and right after (second start), natively for comparison;
#   - CPU use and resident memory while streaming, over the same window for both.
#
# Usage: bash bench/windows_cpu.sh [NATIVE_BUILD] [WINDOWS_BUILD] [SECONDS]
#   defaults: build (a native build with the benchmarks), build-windows, 10.
# The Wine prefix is a private one in a temporary folder.
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
native="${1:-$top/build}"
windows="${2:-$top/build-windows}"
seconds="${3:-10}"
capture="$native/sondrel-capture"
client="$native/bench/server/bench_stream_client"
exe="$windows/sondrel-capture.exe"
wine_run="$windows/wine-run"
for file in "$capture" "$client" "$exe" "$wine_run"; do
  [ -e "$file" ] || { echo "missing $file" >&2; exit 2; }
done

tmp="$(mktemp -d /tmp/windows_cpu.XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  sleep 0.3
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  if [ -f "$tmp/pulse/pid" ]; then kill "$(cat "$tmp/pulse/pid")" 2>/dev/null || true; fi
  if [ -d "$tmp/wineprefix" ]; then WINEPREFIX="$tmp/wineprefix" wineserver -k 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

. "$(dirname "${BASH_SOURCE[0]}")/virtual_mic.sh"
start_virtual_mic "$tmp"
python3 - "$tmp/tone.raw" $((seconds * 3 + 60)) <<'PY'
import math, struct, sys
rate, seconds = 48000, int(sys.argv[2])
with open(sys.argv[1], "wb") as out:
    out.write(b"".join(struct.pack("<f", 0.5 * math.sin(2 * math.pi * 1000 * i / rate)) for i in range(rate * seconds)))
PY
paplay --raw --format=float32le --rate=48000 --channels=1 "$tmp/tone.raw" &
pids+=($!)

export SONDREL_WINEPREFIX="$tmp/wineprefix"
mkdir -p "$SONDREL_WINEPREFIX"
WINEPREFIX="$SONDREL_WINEPREFIX" wineserver -p -f &
server=$!
"$wine_run" wineboot -i >/dev/null 2>&1
# A first start in the fresh prefix sets up Wine's services; not what is measured.
printf 'exit\n' | "$wine_run" "$exe" "$tmp/warm-up.json" >/dev/null 2>&1 || true
# Ends Wine's service processes with the server; killing only the server leaves them.
WINEPREFIX="$SONDREL_WINEPREFIX" wineserver -k 2>/dev/null || kill "$server" 2>/dev/null || true
wait "$server" 2>/dev/null || true

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# Starts NAME's program on settings S (48000 Hz after a first run) with standard input
# on a FIFO; sets started_pid and port_ms.
start() {
  local name="$1"; shift
  rm -f "$tmp/$name.stdin"; mkfifo "$tmp/$name.stdin"
  exec {fd}<>"$tmp/$name.stdin"
  eval "${name}_fd=$fd"
  local t0
  t0=$(date +%s%N)
  "$@" < "$tmp/$name.stdin" > "$tmp/$name.out" 2>"$tmp/$name.err" &
  started_pid=$!
  pids+=($started_pid)
  port=""
  for _ in $(seq 6000); do
    port=$(grep -a -m1 -o '^{ "port": [0-9]* }' "$tmp/$name.out" 2>/dev/null | grep -o '[0-9]*' || true)
    [ -n "$port" ] && break
    sleep 0.005
  done
  [ -n "$port" ] || { echo "$name: no port line" >&2; exit 1; }
  port_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
}
stop() {  # NAME PID
  local fd_var="${1}_fd"
  echo exit >&"${!fd_var}"
  for _ in $(seq 100); do kill -0 "$2" 2>/dev/null || break; sleep 0.1; done
}

# exec: the started job's PID is then the program's (Wine runs the .exe in the process
# its loader was started as), not that of a subshell around it.
run_capture() { exec "$capture" "$@"; }
run_wine() { exec "$wine_run" "$exe" "$@"; }

start wine_first run_wine "$tmp/w.json" "$tmp/w1.log"; wine_first_ms=$port_ms; stop wine_first $started_pid
start wine_second run_wine "$tmp/w.json" "$tmp/w2.log"; wine_second_ms=$port_ms; stop wine_second $started_pid
start native_first run_capture "$tmp/n.json" "$tmp/n1.log"; native_ms=$port_ms; stop native_first $started_pid
for f in "$tmp/w.json" "$tmp/n.json"; do
  python3 - "$f" <<'PY'
import json, sys
settings = json.load(open(sys.argv[1], encoding="utf-8"))
settings["sampleRate"] = 48000.0
json.dump(settings, open(sys.argv[1], "w"), indent=4)
PY
done

start native run_capture "$tmp/n.json" "$tmp/n.log"; native_pid=$started_pid; native_port=$port
start wine run_wine "$tmp/w.json" "$tmp/w.log"; wine_pid=$started_pid; wine_port=$port
"$client" "$native_port" $((seconds + 4)) > "$tmp/native.client" &
native_client=$!
"$client" "$wine_port" $((seconds + 4)) > "$tmp/wine.client" &
wine_client=$!
pids+=($native_client $wine_client)
sleep 3
n0=$(cpu_ticks $native_pid); w0=$(cpu_ticks $wine_pid); t0=$(date +%s%N)
sleep "$seconds"
n1=$(cpu_ticks $native_pid); w1=$(cpu_ticks $wine_pid); t1=$(date +%s%N)
native_rss=$(rss_kib $native_pid); wine_rss=$(rss_kib $wine_pid)
wait $native_client $wine_client || true
stop native $native_pid
stop wine $wine_pid

elapsed=$(awk -v a="$t0" -v b="$t1" 'BEGIN {print (b - a) / 1e9}')
percent() { awk -v d="$1" -v t="$ticks" -v e="$elapsed" 'BEGIN {printf "%.1f", 100 * d / t / e}'; }
field() { grep -o "$2=[0-9.]*" "$1" | cut -d= -f2; }

printf '%-32s %12s %12s\n' "" "Linux" "Windows/Wine"
printf '%-32s %12s %12s\n' "port line, first start (ms)" "$native_ms" "$wine_first_ms"
printf '%-32s %12s %12s\n' "port line, second start (ms)" "-" "$wine_second_ms"
printf '%-32s %12s %12s\n' "CPU while streaming (%)" "$(percent $((n1 - n0)))" "$(percent $((w1 - w0)))"
printf '%-32s %12s %12s\n' "resident memory (MiB)" "$(awk -v k="$native_rss" 'BEGIN {printf "%.1f", k / 1024}')" \
  "$(awk -v k="$wine_rss" 'BEGIN {printf "%.1f", k / 1024}')"
printf '%-32s %12s %12s\n' "messages per second" "$(field "$tmp/native.client" rate)" "$(field "$tmp/wine.client" rate)"
printf '%-32s %12s %12s\n' "messages not 2048 bytes" "$(field "$tmp/native.client" wrong_size)" \
  "$(field "$tmp/wine.client" wrong_size)"
echo "window: ${elapsed} s; Wine's figures include the Wine process (its own threads), not wineserver"
