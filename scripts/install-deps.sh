#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is
# missing. Checked on a fresh Debian 12 minbase root (scripts/fresh-root.sh).
#
# Usage: scripts/install-deps.sh [demo]
#   demo: only what scripts/demo.sh needs to build flasher and flasher-vdev.
set -euo pipefail

demo=(
  # build
  cmake ninja-build g++ pkg-config libusb-1.0-0-dev
  # the virtual device (its account is JSON too)
  umockdev libumockdev-dev nlohmann-json3-dev
)
tests=(
  # unit tests and benchmarks
  libgtest-dev libbenchmark-dev
  # flasher-gang: its record (JSON) and the input's hash (libcrypto); libpq
  # for --record-db, and the PostgreSQL server its tests start (ctest -L
  # database)
  nlohmann-json3-dev libssl-dev libpq-dev postgresql
  # scripts/bench.sh: instruction counts, and jq for the station's account
  valgrind jq
  # flasher-win.exe: the mingw-w64 cross-compiler and Wine to run it
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64
  # fuzzing and static analysis (which lists the sources with git)
  clang-14 libclang-rt-14-dev clang-tidy-14 clang-format-14 cppcheck git
  # packaging: manual page lint and rendering, the compressed page, and the
  # .deb's library dependencies (CPack runs dpkg-shlibdeps, and file to find
  # the binaries to give it)
  mandoc groff-base gzip dpkg-dev file
  # the QEMU rig: the emulator, a static busybox for the initramfs, cpio to
  # pack it, xz and zstd to unpack the kernel and its modules (the kernel
  # and udev's daemon come from apt), and the libraries the daemon links,
  # which the rig copies into the initramfs
  qemu-system-x86 busybox-static cpio xz-utils zstd
  libkmod2 libacl1 libblkid1 libcap2 libselinux1
)

case "${1:-}" in
  demo) packages=("${demo[@]}") ;;
  '') packages=("${demo[@]}" "${tests[@]}") ;;
  *) echo "Usage: scripts/install-deps.sh [demo]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: need root to install ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
