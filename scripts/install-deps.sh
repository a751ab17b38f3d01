#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config libusb-1.0-0-dev
  # unit tests and benchmarks
  libgtest-dev libbenchmark-dev
  # scripts/bench.sh: instruction counts
  valgrind
  # the virtual device
  umockdev libumockdev-dev
  # flasher-win.exe: the mingw-w64 cross-compiler and Wine to run it
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64
  # fuzzing and static analysis
  clang-14 libclang-rt-14-dev clang-tidy-14 clang-format-14 cppcheck
  # packaging: manual page lint, the .deb's library dependencies
  mandoc groff-base dpkg-dev
  # the QEMU rig: the emulator, a static busybox for the initramfs, cpio to
  # pack it, xz to unpack the kernel (the kernel itself comes from apt)
  qemu-system-x86 busybox-static cpio xz-utils
)

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
