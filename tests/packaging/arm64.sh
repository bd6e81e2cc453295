# Sourced by tests/packaging/run.sh --arch arm64 once the package's name, section and contents
# are checked: what an amd64 machine can check of the arm64 package without installing it.
# Uses run.sh's deb, work, program, ola_module, run_seconds, program_pid, fail and step, and
# leaves in arm64_target what run.sh's cleanup has to remove.

kf_packaging_arm64() {
  . scripts/lib/arm64.sh
  local sysroot=$kf_arm64_sysroot_dir root=$work/root
  [ -f "$sysroot/.kf-stamp" ] || fail "no arm64 sysroot in $sysroot (scripts/package --arch arm64 makes it)"

  step "the program and the module are aarch64"
  mkdir -p "$root"
  dpkg-deb -x "$deb" "$root" || fail "dpkg-deb cannot unpack $deb"
  local kind
  kind=$(file -b "$root$program")
  case "$kind" in
    "ELF 64-bit LSB pie executable, ARM aarch64,"*", stripped") ;;
    *) fail "$program is not a stripped aarch64 executable: $kind" ;;
  esac
  kind=$(file -b "$root$ola_module")
  case "$kind" in
    "ELF 64-bit LSB shared object, ARM aarch64,"*) ;;
    *) fail "$ola_module is not an aarch64 shared object: $kind" ;;
  esac

  # Every dependency is one of Debian 12's arm64 packages, in a version the sysroot (the
  # archive's own) has.
  step "Depends: $(dpkg-deb -f "$deb" Depends)"
  local admin=$sysroot/var/lib/dpkg clause alt name op version have met
  local -a depended=()
  while IFS= read -r clause; do
    clause=${clause# }
    met=0
    while IFS= read -r alt; do
      read -r name op version <<<"$(sed -E 's/^ *([^ (]+) *(\(([<>=]+) *([^)]+)\))? *$/\1 \3 \4/' <<<"$alt")"
      depended+=("$name")
      have=$(dpkg-query --admindir="$admin" -W -f='${Version}' "$name:arm64" 2>/dev/null ||
        dpkg-query --admindir="$admin" -W -f='${Version}' "$name" 2>/dev/null) || continue
      if [ -z "$op" ] || dpkg --compare-versions "$have" "$op" "$version"; then
        met=1
      fi
    done < <(tr '|' '\n' <<<"$clause")
    [ "$met" = 1 ] || fail "Debian 12 arm64 does not meet the dependency '$clause'"
  done < <(dpkg-deb -f "$deb" Depends | tr ',' '\n')

  # The libraries the program and the module load all come from packages it depends on.
  local file lib found owner
  for file in "$program" "$ola_module"; do
    while IFS= read -r lib; do
      found=""
      for dir in lib/aarch64-linux-gnu usr/lib/aarch64-linux-gnu; do
        [ -e "$sysroot/$dir/$lib" ] && found=/$dir/$lib && break
      done
      [ -n "$found" ] || fail "$file needs $lib, which Debian 12 arm64's packages in the sysroot lack"
      owner=$(dpkg-query --admindir="$admin" --search "$found" 2>/dev/null | sed 's/:.*//' | head -n 1)
      printf '%s\n' "${depended[@]}" | grep -qxF "$owner" ||
        fail "$file needs $lib of $owner, which the package does not depend on"
    done < <(aarch64-linux-gnu-readelf -d "$root$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  done

  # The program as the package lays it out, in a copy of the sysroot (links, not copies of its
  # files), under emulation: it records, and loads its OLA module from where it is installed.
  step "running $program for ${run_seconds} s under qemu (offscreen, no serial ports)"
  # Beside the sysroot, on its file system, for the links; run.sh's cleanup removes it.
  arm64_target=$(mktemp -d "$sysroot.run.XXXXXX")
  local target=$arm64_target/root
  cp -al "$sysroot" "$target" || fail "cannot copy the sysroot"
  dpkg-deb -x "$deb" "$target" || fail "dpkg-deb cannot unpack $deb"
  kf_pulse_ensure || fail "no PulseAudio server answers and none could be started"
  local recording=0 loaded=0 status
  KLEURFLITS_OLA_UNIVERSE=1 QT_QPA_PLATFORM=offscreen KLEURFLITS_SERIAL_PORTS="" \
    QT_PLUGIN_PATH="$target/usr/lib/aarch64-linux-gnu/qt6/plugins" \
    qemu-aarch64-static -L "$target" "$target$program" >"$work/program.log" 2>&1 &
  program_pid=$!
  # Emulated start-up takes longer: up to ten times the native run's time to start recording.
  for _ in $(seq 1 $((run_seconds * 100))); do
    if ! kill -0 "$program_pid" 2>/dev/null; then
      wait "$program_pid"
      status=$?
      program_pid=""
      cat "$work/program.log" >&2
      fail "$program ended by itself under qemu, exit status $status (its output above)"
    fi
    if [ "$recording" = 0 ] && pactl list source-outputs 2>/dev/null |
        grep -q "application.process.id = \"$program_pid\""; then
      recording=1
    fi
    grep -qF "$target$ola_module" "/proc/$program_pid/maps" 2>/dev/null && loaded=1
    [ "$recording" = 1 ] && [ "$loaded" = 1 ] && break
    sleep 0.1
  done
  sleep 2  # past start-up, so that SIGTERM meets the program's own handler
  kill -TERM "$program_pid"
  for _ in $(seq 1 300); do
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$program_pid" 2>/dev/null; then
    cat "$work/program.log" >&2
    fail "$program did not end within 30 s of SIGTERM under qemu"
  fi
  wait "$program_pid"
  status=$?
  program_pid=""
  [ "$recording" = 1 ] || { cat "$work/program.log" >&2; fail "$program did not record under qemu"; }
  [ "$loaded" = 1 ] || { cat "$work/program.log" >&2; fail "$program did not load $ola_module"; }
  if grep -F 'DMX output is off' "$work/program.log" >&2; then
    fail "$program could not load its OLA module (above)"
  fi
  [ "$status" -eq 0 ] || { cat "$work/program.log" >&2; fail "$program exited with status $status after SIGTERM"; }
  step "$program recorded, loaded $ola_module, and exited 0 after SIGTERM"
  rm -rf "$arm64_target"
  arm64_target=""

  echo "PASS: packaging: $(basename "$deb") builds, passes lintian and the validators, holds aarch64 files, depends on Debian 12 arm64 packages only, and runs under qemu"
}
