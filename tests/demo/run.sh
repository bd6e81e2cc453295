#!/usr/bin/env bash
# The show without hardware, as CI runs it: scripts/run --demo for about 10 s, then SIGINT as
# Ctrl-C would send it. Passes when the simulated lamps changed with the track, the run ended
# with status 0 and every lamp off, and nothing it started is left running.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

work=$(mktemp -d /tmp/kf-demo-test.XXXXXX)
log="$work/boards.log"
fail() { echo "FAIL: demo: $*"; exit 1; }

KF_DEMO_LOG="$log" QT_QPA_PLATFORM=offscreen setsid scripts/run --demo >"$work/out" 2>&1 &
leader=$!
# Building may come first; the show has begun once the boards receive frames.
for _ in $(seq 1 600); do
  [ -s "$log" ] && grep -q "(RA" "$log" && break
  sleep 0.5
done
sleep 10
kill -INT -- "-$leader"
status=0
wait "$leader" || status=$?
sleep 1

[ "$status" = 0 ] || { tail -20 "$work/out"; fail "exit status $status"; }
# Lamp rows the iCP12 showed: distinct "on" command sets.
patterns=$(grep -o 'COM1 .*' "$log" | grep -o '(R[AB][0-9]1)' | sort -u | wc -l)
[ "$patterns" -ge 4 ] || fail "only $patterns different iCP12 outputs were ever switched on"
grep -q '1/[1-9][0-9]*/' "$log" || fail "the TM board never got a lit pattern"
tail -n 1 <(grep 'COM1' "$log") | grep -q '(RB20)$' || fail "the iCP12's last command is not the last off command"
tail -n 1 <(grep 'COM2' "$log") | grep -q '1/0/$' || fail "the TM board did not end with 1/0/"
grep -q '9/ in out /' "$log" || fail "the TM board got no end text"
server_dir=$(grep -o 'unix:/tmp/kf-pulse\.[A-Za-z0-9]*' "$work/out" | head -n 1 | cut -d: -f2)
leftover() {
  pgrep -s "$leader"
  pgrep -f "boardsim --log $log"
  [ -n "$server_dir" ] && pgrep -f "pulseaudio.*$server_dir"
}
for _ in $(seq 1 30); do
  [ -z "$(leftover)" ] && break
  sleep 0.1
done
if [ -n "$(leftover)" ]; then
  ps -o pid,args -p "$(leftover | paste -sd,)"
  fail "processes of the demo are still running"
fi
rm -rf "$work"
echo "PASS: demo: lamps followed the track, Ctrl-C ended it with status 0 and every lamp off"
