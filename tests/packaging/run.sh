#!/usr/bin/env bash
# The packaging test, for CI (as root, or with password-less sudo). It changes the machine:
# it installs the package and removes it again.
#   1. builds and checks the package with scripts/package
#   2. checks what the package holds: the program and its data files only, usual permissions
#   3. installs it with apt-get, as a user would, and checks the installed files
#   4. runs /usr/bin/kleurflits-stereo offscreen, without serial ports, against a PulseAudio
#      server (a private one with a null sink when none answers) for about 3 seconds, checks it
#      records without OLA's libraries mapped, stops it with SIGTERM and requires exit status 0;
#      then once more with KLEURFLITS_OLA_UNIVERSE, which must load the installed OLA module
#   5. removes and purges the package and checks that its files are gone
# With --arch arm64 it checks the cross-built arm64 package instead (scripts/package --arch
# arm64): steps 1 and 2, then its architecture, that its program and module are aarch64, that
# every dependency is met by Debian 12's arm64 packages, and that the program as the package
# lays it out records and loads its OLA module under qemu. It does not install it here (an
# amd64 machine).
# Prints one PASS or FAIL line at the end; exits non-zero on failure.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

arch=amd64
if [ "${1:-}" = --arch ]; then
  arch=${2:-}
fi
case "$arch" in
  amd64 | arm64) ;;
  *) echo "FAIL: packaging: --arch takes amd64 or arm64" >&2; exit 2 ;;
esac

package=kleurflits-stereo
program=/usr/bin/kleurflits-stereo
desktop_file=/usr/share/applications/nl.kleurflits.Stereo.desktop
metainfo_file=/usr/share/metainfo/nl.kleurflits.Stereo.metainfo.xml
run_seconds=3
# The OLA module the program loads for DMX output only.
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
ola_module=/usr/lib/$multiarch/kleurflits-stereo/kleurflits-ola.so

work=$(mktemp -d /tmp/kf-packaging.XXXXXX)
arm64_target=""
program_pid=""
installed_by_us=0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo -n"

. scripts/lib/pulse.sh

cleanup() {
  if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then
    kill -KILL "$program_pid" 2>/dev/null
    wait "$program_pid" 2>/dev/null
  fi
  if [ "$installed_by_us" = 1 ]; then
    $sudo dpkg --purge "$package" >/dev/null 2>&1
  fi
  if [ -n "$kf_pulse_started" ]; then
    # the private server's directory goes with it
    private_dir=${XDG_RUNTIME_DIR:-}
    kf_pulse_stop
    case "$private_dir" in /tmp/kf-pulse.*) rm -rf "$private_dir" ;; esac
  fi
  rm -rf "$work"
  [ -z "$arm64_target" ] || rm -rf "$arm64_target"
}
trap cleanup EXIT

fail() {
  echo "FAIL: packaging: $*"
  exit 1
}

step() {
  echo "-- $*" >&2
}

is_installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" = installed ]
}

if [ -n "$sudo" ] && ! $sudo true 2>/dev/null; then
  fail "needs root (or password-less sudo) to install and remove the package"
fi

# 1. Build and check the package.
step "scripts/package"
deb=$(scripts/package --arch "$arch") || fail "scripts/package --arch $arch failed"
deb=$(printf '%s\n' "$deb" | tail -n 1)
[ -f "$deb" ] || fail "scripts/package printed no package path (got '$deb')"
case "$(basename "$deb")" in
  "${package}"_*_"$arch".deb) ;;
  *) fail "unexpected package file name $(basename "$deb")" ;;
esac
step "package: $deb"

# 2. What the package holds.
[ "$(dpkg-deb -f "$deb" Package)" = "$package" ] || fail "the package is not called $package"
[ "$(dpkg-deb -f "$deb" Section)" = sound ] || fail "the package's section is not sound"
dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb cannot list $deb"
awk '{print $6}' "$work/contents" | sed 's|^\./|/|' >"$work/paths"
for expected in "$program" "$desktop_file" "$metainfo_file" \
    /usr/share/icons/hicolor/scalable/apps/kleurflits-stereo.svg \
    /usr/lib/udev/rules.d/70-kleurflits-k8055.rules \
    /usr/share/doc/$package/copyright /usr/share/doc/$package/changelog.gz \
    /usr/share/man/man1/kleurflits-stereo.1.gz \
    "$ola_module" \
    /usr/share/kleurflits-stereo/firmware/kleurflits-ET.hex \
    /usr/share/kleurflits-stereo/firmware/kleurflits-AL.hex \
    /usr/share/kleurflits-stereo/firmware/kleurflits-TM.hex; do
  grep -qxF "$expected" "$work/paths" || fail "the package lacks $expected"
done
executables=$(awk '$1 ~ /^-..x/ {print $6}' "$work/contents" | sed 's|^\./|/|')
[ "$executables" = "$program" ] || fail "the package holds executables other than $program: $executables"
if grep -E -i 'boardsim|bench|test' "$work/paths" >&2; then
  fail "the package holds test, bench or simulator files (above)"
fi
bad_modes=$(awk '($1 ~ /^d/ && $1 != "drwxr-xr-x") || ($1 ~ /^-/ && $1 != "-rw-r--r--" && $1 != "-rwxr-xr-x") || $2 != "root/root"' "$work/contents")
[ -z "$bad_modes" ] || fail "unusual owner or permissions in the package: $bad_modes"

[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "the package's architecture is not $arch"

if [ "$arch" = arm64 ]; then
  . tests/packaging/arm64.sh
  kf_packaging_arm64
  exit $?
fi

# 3. Install it as a user would.
if is_installed; then
  step "removing the $package installed before this test"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq "$package" >&2 || fail "could not remove the $package installed before"
fi
step "apt-get install -y ./$deb"
installed_by_us=1
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "./$deb" >"$work/apt-install.log" 2>&1 ||
  { cat "$work/apt-install.log" >&2; fail "apt-get install of $deb failed"; }
is_installed || fail "$package is not installed after apt-get install"
[ "$(dpkg-query -W -f='${Version}' "$package")" = "$(dpkg-deb -f "$deb" Version)" ] ||
  fail "the installed version is not the one built"
[ -x "$program" ] || fail "$program is missing or not executable after installing"
if ! file "$program" | grep -q ', stripped'; then
  fail "$program is not stripped"
fi
if ldd "$program" | grep 'not found' >&2; then
  fail "$program needs libraries the package does not bring (above)"
fi
dpkg -L "$package" >"$work/installed" || fail "dpkg -L $package failed"
step "desktop-file-validate $desktop_file"
desktop-file-validate "$desktop_file" >&2 || fail "desktop-file-validate reports errors in $desktop_file"
step "appstreamcli validate --no-net $metainfo_file"
appstreamcli validate --no-net "$metainfo_file" >&2 || fail "appstreamcli reports problems in $metainfo_file"

# 4. Run the installed program offscreen against PulseAudio.
kf_pulse_ensure || fail "no PulseAudio server answers and none could be started"
step "running $program for ${run_seconds} s (offscreen, no serial ports)"
QT_QPA_PLATFORM=offscreen KLEURFLITS_SERIAL_PORTS="" "$program" >"$work/program.log" 2>&1 &
program_pid=$!
recording=0
for _ in $(seq 1 $((run_seconds * 10))); do
  if ! kill -0 "$program_pid" 2>/dev/null; then
    wait "$program_pid"
    status=$?
    program_pid=""
    cat "$work/program.log" >&2
    fail "$program ended by itself within ${run_seconds} s, exit status $status (its output above)"
  fi
  # The program's capture stream shows as a source output of its own process.
  if [ "$recording" = 0 ] && pactl list source-outputs 2>/dev/null |
      grep -q "application.process.id = \"$program_pid\""; then
    recording=1
  fi
  sleep 0.1
done
[ "$recording" = 1 ] || { cat "$work/program.log" >&2; fail "$program did not record from the PulseAudio server"; }
if grep -E 'kleurflits-ola|libola|libprotobuf' "/proc/$program_pid/maps" >&2; then
  fail "$program maps OLA's libraries without KLEURFLITS_OLA_UNIVERSE (above)"
fi
kill -TERM "$program_pid"
for _ in $(seq 1 100); do
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$program_pid" 2>/dev/null; then
  cat "$work/program.log" >&2
  fail "$program did not end within 10 s of SIGTERM"
fi
wait "$program_pid"
status=$?
program_pid=""
if [ "$status" -ne 0 ]; then
  cat "$work/program.log" >&2
  fail "$program exited with status $status after SIGTERM (its output above)"
fi
step "$program recorded, and exited 0 after SIGTERM"

step "running $program with KLEURFLITS_OLA_UNIVERSE=1 (offscreen, no serial ports)"
KLEURFLITS_OLA_UNIVERSE=1 QT_QPA_PLATFORM=offscreen KLEURFLITS_SERIAL_PORTS="" "$program" >"$work/program-ola.log" 2>&1 &
program_pid=$!
loaded=0
for _ in $(seq 1 $((run_seconds * 10))); do
  kill -0 "$program_pid" 2>/dev/null || break
  if grep -qF "$ola_module" "/proc/$program_pid/maps" 2>/dev/null; then
    loaded=1
    break
  fi
  sleep 0.1
done
sleep 2  # past start-up, so that SIGTERM meets the program's own handler
kill -TERM "$program_pid" 2>/dev/null
wait "$program_pid"
status=$?
program_pid=""
[ "$loaded" = 1 ] || { cat "$work/program-ola.log" >&2; fail "$program did not load $ola_module for DMX output"; }
if grep -F 'DMX output is off' "$work/program-ola.log" >&2; then
  fail "$program could not load its OLA module (above)"
fi
[ "$status" -eq 0 ] || { cat "$work/program-ola.log" >&2; fail "$program with DMX output exited with status $status after SIGTERM"; }
step "$program loaded $ola_module for DMX output, and exited 0 after SIGTERM"

# 5. Remove and purge.
step "apt-get remove -y $package"
DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -q "$package" >"$work/apt-remove.log" 2>&1 ||
  { cat "$work/apt-remove.log" >&2; fail "apt-get remove $package failed"; }
[ ! -e "$program" ] || fail "$program is still there after apt-get remove"
# A package without configuration files is forgotten by dpkg on removal already; apt-get then
# no longer knows it, so purge only what dpkg still remembers.
if dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qvx not-installed; then
  step "apt-get purge -y $package"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -q "$package" >"$work/apt-purge.log" 2>&1 ||
    { cat "$work/apt-purge.log" >&2; fail "apt-get purge $package failed"; }
else
  step "nothing left to purge: dpkg forgot $package on removal"
fi
installed_by_us=0
status_after=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)
case "$status_after" in
  "" | not-installed) ;;
  *) fail "dpkg still knows $package after purging (status $status_after)" ;;
esac
left=()
while IFS= read -r path; do
  [ -d "$path" ] && continue   # shared directories such as /usr/share stay
  [ -e "$path" ] || [ -L "$path" ] && left+=("$path")
done <"$work/installed"
[ ${#left[@]} -eq 0 ] || fail "files left after purging: ${left[*]}"

echo "PASS: packaging: $(basename "$deb") builds, passes lintian and the validators, installs, runs, exits 0 on SIGTERM and removes cleanly"
