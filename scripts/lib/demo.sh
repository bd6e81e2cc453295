# Sourced by scripts/run: the show without hardware. A private PulseAudio server with a null
# sink plays a demo track; simulated boards (an iCP12 and a TM Arduino) draw their lamps in the
# terminal; the program runs against both. Ctrl-C ends the program through its own shutdown,
# then everything started here stops.
#   KF_DEMO_LOG=file   also logs every byte the simulated boards receive

kf_demo_track() {
  # Beats and tones that walk the eight bands, left then right, then a sweep on both sides.
  local out=$1 dir
  dir=$(mktemp -d /tmp/kf-demo-track.XXXXXX)
  local i=0 f
  for f in 60 150 320 700 1500 3200 7000 14000; do
    sox -q -n -r 44100 -c 2 "$dir/$(printf %02d $i)l.wav" synth 0.35 sine "$f" remix 1 0 gain -3
    sox -q -n -r 44100 -c 2 "$dir/$(printf %02d $i)r.wav" synth 0.35 sine "$f" remix 0 1 gain -3
    sox -q -n -r 44100 -c 2 "$dir/$(printf %02d $i)s.wav" synth 0.12 sine 55 fade 0 0.12 0.1
    i=$((i + 1))
  done
  sox -q -n -r 44100 -c 2 "$dir/90sweep.wav" synth 3 sine 40:16000 gain -6
  sox -q -n -r 44100 -c 2 "$dir/91noise.wav" synth 1.5 pinknoise tremolo 4 80 gain -4
  sox -q "$dir"/*.wav "$out"
  rm -rf "$dir"
}

kf_demo() {
  local program=$1
  shift
  . scripts/lib/pulse.sh
  unset PULSE_SERVER
  kf_pulse_start_private || return 1

  local work sims_pid player_pid status
  work=$(mktemp -d /tmp/kf-demo.XXXXXX)
  kf_demo_track "$work/demo.wav"

  # The simulators get their own session, so Ctrl-C reaches the program first and its
  # off commands still find the boards.
  local log_args=()
  [ -n "${KF_DEMO_LOG:-}" ] && log_args=(--log "$KF_DEMO_LOG")
  setsid build/tools/boardsim/boardsim "${log_args[@]}" icp12 ardu-tm >"$work/ports" 2>&2 &
  sims_pid=$!
  local i
  for i in $(seq 1 50); do
    [ -s "$work/ports" ] && break
    sleep 0.1
  done
  export KLEURFLITS_SERIAL_PORTS
  KLEURFLITS_SERIAL_PORTS=$(head -n 1 "$work/ports")

  (while :; do paplay "$work/demo.wav" || sleep 1; done) &
  player_pid=$!

  echo "demo: boards on $KLEURFLITS_SERIAL_PORTS, demo track playing; Ctrl-C ends it" >&2
  trap 'true' INT TERM
  "$program" "$@" &
  local program_pid=$!
  # Signals for the script go to the program, which shuts down in its own way.
  trap 'kill -INT $program_pid 2>/dev/null' INT TERM
  status=0
  while kill -0 "$program_pid" 2>/dev/null; do
    wait "$program_pid" && status=0 || status=$?
  done
  trap - INT TERM

  kill "$player_pid" 2>/dev/null
  pkill -P "$player_pid" 2>/dev/null
  wait "$player_pid" 2>/dev/null
  kill -INT "$sims_pid" 2>/dev/null
  wait "$sims_pid" 2>/dev/null
  kf_pulse_stop
  rm -rf "$work"
  return "$status"
}
