#!/usr/bin/env bash
# Records five seconds with sondrel-record into a WAV file and prints the summary.
#
# On a machine with a microphone (an ALSA capture device, or a PulseAudio/PipeWire
# server with a source that is not a monitor) the real microphone is used. On a
# machine without one (a build server, a container) it says so and starts a private
# PulseAudio daemon whose null sink's monitor serves as the microphone, plays a
# 1 kHz test tone into it, and records that instead, so the whole path still runs.
#
# Usage: bash tools/demo.sh [BUILD_DIR [OUTPUT.wav]]   (defaults: build, demo.wav)
# Everything started here is ended by PID when the script exits.
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
output="${2:-demo.wav}"
seconds=5
record="$build/sondrel-record"
capture="$build/sondrel-capture"

for program in "$record" "$capture"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program is missing; build first:" >&2
    echo "  cmake -S $top -B $build -G Ninja && cmake --build $build --target sondrel-capture sondrel-record" >&2
    exit 1
  fi
done

work="$(mktemp -d /tmp/sondrel-demo.XXXXXX)"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Looking for a sound server must not start one.
printf 'autospawn = no\n' > "$work/client.conf"

has_microphone() {
  if [ -r /proc/asound/pcm ] && grep -q 'capture' /proc/asound/pcm; then
    return 0
  fi
  if command -v pactl >/dev/null &&
     PULSE_CLIENTCONFIG="$work/client.conf" timeout 5 pactl list short sources 2>/dev/null |
       awk '{print $2}' | grep -qv '\.monitor$'; then
    return 0
  fi
  return 1
}

start_virtual_microphone() {
  export XDG_RUNTIME_DIR="$work/runtime" HOME="$work/home" PULSE_CLIENTCONFIG="$work/client.conf"
  unset PULSE_SERVER
  mkdir -p "$XDG_RUNTIME_DIR" "$HOME"
  chmod 700 "$XDG_RUNTIME_DIR"
  pulseaudio -n --daemonize=yes --exit-idle-time=-1 --disallow-exit \
    -L module-native-protocol-unix -L "module-null-sink sink_name=mic_sink" -L module-always-sink \
    --log-target="file:$work/pulseaudio.log"
  local pidfile="$XDG_RUNTIME_DIR/pulse/pid"
  for _ in $(seq 150); do
    if [ -s "$pidfile" ] && pactl info >/dev/null 2>&1; then
      pids+=("$(cat "$pidfile")")
      return 0
    fi
    sleep 0.1
  done
  [ -s "$pidfile" ] && pids+=("$(cat "$pidfile")")
  echo "demo: the virtual microphone (PulseAudio) did not start; its log:" >&2
  tail -n 20 "$work/pulseaudio.log" >&2 || true
  exit 1
}

play_test_tone() {
  # 1 kHz, amplitude 0.5 (-6 dBFS), 48000 Hz float32 mono, longer than the recording.
  python3 - "$work/tone.raw" <<'PY'
import math, struct, sys
rate, seconds = 48000, 20
step = 2 * math.pi * 1000 / rate
with open(sys.argv[1], "wb") as f:
    f.write(b"".join(struct.pack("<f", 0.5 * math.sin(step * i)) for i in range(rate * seconds)))
PY
  paplay --raw --format=float32le --rate=48000 --channels=1 "$work/tone.raw" &
  pids+=("$!")
}

if has_microphone; then
  echo "demo: recording ${seconds} s from this machine's microphone into $output"
else
  echo "demo: this machine has no audio capture device; using a virtual microphone"
  echo "demo: (a private PulseAudio daemon) with a 1 kHz test tone at -6 dBFS instead"
  start_virtual_microphone
  play_test_tone
  echo "demo: recording ${seconds} s of the test tone into $output"
fi

status=0
"$record" --duration "$seconds" --capture "$capture" \
  --settings "$work/settings.json" --log "$work/sondrel-capture.log" "$output" </dev/null || status=$?
if [ "$status" -eq 0 ]; then
  echo "demo: done; $output is a mono 44100 Hz 32-bit float WAV file"
else
  echo "demo: sondrel-record failed (exit status $status)" >&2
fi
exit "$status"
