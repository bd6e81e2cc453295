# Sourced by scripts: starts a private PulseAudio server with a null sink when no server
# answers, and stops on exit only what it started.
kf_pulse_started=""

kf_pulse_answers() { pactl info >/dev/null 2>&1; }

kf_pulse_ensure() {
  if kf_pulse_answers; then
    return 0
  fi
  kf_pulse_start_private
}

# Always a server of our own, whatever else runs: nothing we play reaches anybody's speakers.
kf_pulse_start_private() {
  local dir
  dir=$(mktemp -d /tmp/kf-pulse.XXXXXX)
  chmod 700 "$dir"
  export XDG_RUNTIME_DIR="$dir"
  export PULSE_SERVER="unix:$dir/pulse/native"
  setsid pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    -L module-native-protocol-unix \
    -L "module-null-sink sink_name=kf_null rate=44100 channels=2" \
    --log-target=file:"$dir/pulseaudio.log" &
  kf_pulse_started=$!
  local i
  for i in $(seq 1 50); do
    kf_pulse_answers && break
    sleep 0.1
  done
  if ! kf_pulse_answers; then
    echo "could not start a PulseAudio server (log: $dir/pulseaudio.log)" >&2
    return 1
  fi
  pactl set-default-sink kf_null
  echo "started a PulseAudio server with a null sink ($PULSE_SERVER)" >&2
}

kf_pulse_stop() {
  if [ -n "$kf_pulse_started" ]; then
    kill "$kf_pulse_started" 2>/dev/null || true
    wait "$kf_pulse_started" 2>/dev/null || true
    kf_pulse_started=""
  fi
}
