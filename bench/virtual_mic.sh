# Sourced by the measuring scripts: a private PulseAudio daemon whose null sink's monitor
# is the default source, living in DIR, which becomes XDG_RUNTIME_DIR and HOME of this
# shell and of every program it starts. The daemon writes its pid to DIR/pulse/pid, for
# the caller's clean-up to end it.
start_virtual_mic() {
  local dir="$1"
  export XDG_RUNTIME_DIR="$dir" HOME="$dir"
  unset PULSE_SERVER PULSE_RUNTIME_PATH
  pulseaudio -n --daemonize=yes --exit-idle-time=-1 --disallow-exit -L module-native-protocol-unix \
    -L "module-null-sink sink_name=mic_sink" -L module-always-sink --log-target=file:"$dir/pa.log"
  for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl info >/dev/null
  pactl set-default-source mic_sink.monitor >/dev/null
}
