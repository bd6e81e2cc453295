# Sourced by scripts: the arm64 (Debian 12 / Raspberry Pi OS bookworm) cross build on an amd64
# machine. The sysroot is Debian's arm64 -dev packages extracted, never run: nothing arm64 runs
# at build time, and the tests run under qemu user emulation.
#   kf_arm64_sysroot   makes .cache/sysroot-arm64 when it is missing or out of date
#   kf_arm64_configure DIR [cmake args...]   configures a cross build in DIR

kf_arm64_root=$(pwd)
kf_arm64_sysroot_dir="$kf_arm64_root/.cache/sysroot-arm64"
kf_arm64_toolchain="$kf_arm64_root/cmake/toolchain-arm64.cmake"
kf_arm64_multiarch=aarch64-linux-gnu

# What the build, the tests and dpkg-shlibdeps need of arm64; the same -dev packages
# scripts/setup installs on the host. fonts-liberation: the tests lay the window out in it.
kf_arm64_packages=(
  qt6-base-dev qt6-serialport-dev libgl-dev libqt6svg6
  libpulse-dev libkissfft-dev libhidapi-dev libudev-dev
  libola-dev
  libgtest-dev libgmock-dev
  libsimavr-dev libelf-dev
  fonts-liberation
)

# The machine's own Debian sources, as apt here has them.
kf_arm64_sources() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -s "$f" ] && printf '%s\n' "$f"
  done
}

# Makes dpkg's database of what was extracted, so that dpkg-shlibdeps on the host finds which
# arm64 package holds each library and reads its symbols file.
kf_arm64_dpkg_db() {
  local root=$1 admin=$1/var/lib/dpkg deb pkg arch ma name ctl f
  mkdir -p "$admin/info" "$admin/updates"
  echo 1 >"$admin/info/format"  # info files named pkg:arch for Multi-Arch: same
  : >"$admin/status"
  ctl=$(mktemp -d)
  for deb in "$root"/var/cache/apt/archives/*.deb; do
    pkg=$(dpkg-deb -f "$deb" Package)
    arch=$(dpkg-deb -f "$deb" Architecture)
    ma=$(dpkg-deb -f "$deb" Multi-Arch)
    # dpkg names the files of a Multi-Arch: same package with its architecture
    name=$pkg
    [ "$ma" = same ] && name="$pkg:$arch"
    dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' -e 's|^$|/.|' \
      >"$admin/info/$name.list"
    rm -rf "${ctl:?}"/*
    dpkg-deb -e "$deb" "$ctl"
    for f in "$ctl"/*; do
      [ "$(basename "$f")" = control ] && continue
      cp "$f" "$admin/info/$name.$(basename "$f")"
    done
    sed -e '/^Package:/a Status: install ok installed' "$ctl/control" >>"$admin/status"
    echo >>"$admin/status"
  done
  rm -rf "$ctl"
  echo arm64 >"$admin/arch"
}

kf_arm64_sysroot() {
  local dir=$kf_arm64_sysroot_dir stamp sources new
  mapfile -t sources < <(kf_arm64_sources)
  [ ${#sources[@]} -gt 0 ] || { echo "arm64: no apt sources in /etc/apt" >&2; return 1; }
  # The sysroot is made again when the package list or the sources change.
  stamp="$(printf '%s\n' "${kf_arm64_packages[@]}"; cat "${sources[@]}")"
  if [ -f "$dir/.kf-stamp" ] && [ "$(cat "$dir/.kf-stamp")" = "$stamp" ]; then
    return 0
  fi
  new="$dir.new"
  rm -rf "$new"
  mkdir -p "$(dirname "$dir")"
  echo "arm64: extracting the sysroot into $dir" >&2
  local include
  include=$(IFS=,; echo "${kf_arm64_packages[*]}")
  mmdebstrap --quiet --architectures=arm64 --variant=extract --skip=cleanup/apt/cache \
    --include="$include" bookworm "$new" "${sources[@]}" >&2
  kf_arm64_dpkg_db "$new"
  rm -rf "$new"/var/cache/apt/archives/*.deb
  # Absolute links point at the host's files: make them point inside the sysroot.
  local link target
  while IFS= read -r link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$new$target")" "$link"
  done < <(find "$new" -type l -lname '/*' -not -path "$new/dev/*")
  # qemu -L looks for every path in the sysroot first: /dev (pseudo-terminals) and /tmp
  # (sockets, test folders) must be the machine's own.
  rm -rf "$new/dev" "$new/tmp"
  printf '%s' "$stamp" >"$new/.kf-stamp"
  rm -rf "$dir"
  mv "$new" "$dir"
}

kf_arm64_configure() {
  local build=$1
  shift
  KF_SYSROOT="$kf_arm64_sysroot_dir" cmake -S . -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$kf_arm64_toolchain" "$@" >/dev/null
}
