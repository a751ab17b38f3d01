#!/usr/bin/env bash
# The QEMU rig: boots Debian's current kernel under software emulation with
# dummy_hcd, so flasher-gadget (a real FunctionFS gadget) and flasher (the
# unmodified program, over libusb and the kernel's USB host stack) meet on
# one machine. Every case runs inside one VM; the guest prints a line per
# case and a final marker that becomes this script's exit status.
#
# Usage: run.sh --flasher PATH --gadget PATH --os-desc-check PATH
#               --gang PATH --probe PATH --vid HEX --pid HEX --work DIR
#               [--cases FILE]
# The kernel and udev packages are downloaded once per work directory (kept
# there).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
flasher= gadget= oscheck= gang= probe= vid= pid= work= cases=$here/cases.sh
while [ $# -gt 0 ]; do
  case "$1" in
    --flasher) flasher=$2 ;;
    --gadget) gadget=$2 ;;
    --os-desc-check) oscheck=$2 ;;
    --gang) gang=$2 ;;
    --probe) probe=$2 ;;
    --vid) vid=$2 ;;
    --pid) pid=$2 ;;
    --work) work=$2 ;;
    --cases) cases=$2 ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
for v in flasher gadget oscheck gang probe vid pid work; do
  if [ -z "${!v}" ]; then echo "run.sh: --${v/oscheck/os-desc-check} is required" >&2; exit 2; fi
done
for tool in qemu-system-x86_64 busybox cpio dpkg-deb apt-get xz; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool not found (scripts/install-deps.sh)" >&2; exit 2; }
done
busybox_bin=$(command -v busybox)
if ldd "$busybox_bin" >/dev/null 2>&1; then
  echo "run.sh: $busybox_bin is not static (install busybox-static)" >&2; exit 2
fi

modules=(usb-common usbcore udc-core configfs libcomposite usb_f_fs dummy_hcd)
mkdir -p "$work"
work=$(cd "$work" && pwd)
started=$(date +%s)

# --- the packages: the kernel linux-image-amd64 depends on today, and udev -
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}
# download_package NAME DIR: the package's .deb, fetched into DIR once.
download_package() {
  local pkg=$1 dir=$2
  [ -n "$pkg" ] || return 1
  if ! ls "$dir/${pkg}"_*.deb >/dev/null 2>&1; then
    rm -rf "$dir"
    mkdir -p "$dir"
    echo "rig: downloading $pkg" >&2
    (cd "$dir" && apt-get download -q "$pkg" >/dev/null 2>&1) || return 1
  fi
  ls "$dir/${pkg}"_*.deb
}
download_kernel() { download_package "$(kernel_package)" "$work/kernel"; }
download_udev() { download_package udev "$work/udev"; }
# fetch DOWNLOADER WHAT: package lists that are missing or stale (naming a
# version the archive has dropped) are refreshed once, which needs root.
fetch() {
  "$1" && return 0
  echo "rig: refreshing the package lists" >&2
  apt-get update -qq >&2 || true
  "$1" && return 0
  echo "run.sh: cannot download $2" >&2
  return 1
}
deb=$(fetch download_kernel "the package linux-image-amd64 depends on")
udev_deb=$(fetch download_udev "the package udev")
echo "rig: kernel package $(basename "$deb"), udev package $(basename "$udev_deb")"

# Unpack only the kernel image and the modules the rig loads, once per
# package; modules may come compressed in newer kernels.
unpacked=$work/kernel/unpacked
if [ ! -f "$unpacked/.done" ]; then
  rm -rf "$unpacked"
  mkdir -p "$unpacked"
  patterns=('./boot/vmlinuz-*')
  for m in "${modules[@]}"; do patterns+=("*/$m.ko" "*/$m.ko.xz" "*/$m.ko.zst"); done
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$unpacked" --wildcards "${patterns[@]}" 2>/dev/null || true
  ls "$unpacked"/boot/vmlinuz-* >/dev/null
  # The bzImage's payload is XZ, slow to unpack under emulation: boot the
  # plain ELF kernel (it carries a PVH entry point) when it can be had.
  bz=$(ls "$unpacked"/boot/vmlinuz-*)
  offset=$(LC_ALL=C grep -abo $'\xfd7zXZ\x00' "$bz" | head -1 | cut -d: -f1 || true)
  if [ -n "$offset" ]; then
    tail -c +$((offset + 1)) "$bz" | xz -dc >"$unpacked/vmlinux" 2>/dev/null || true
  fi
  touch "$unpacked/.done"
fi
kernel=$unpacked/vmlinux
if ! head -c 4 "$kernel" 2>/dev/null | grep -q ELF; then
  kernel=$(ls "$unpacked"/boot/vmlinuz-*)
fi

# udev's daemon is the udevadm binary run under the name systemd-udevd. It
# passes the kernel's uevents on to libudev's listeners, which is where
# Debian's libusb takes its hotplug events from (docs/gadget-rig.md).
udevadm=$work/udev/udevadm
if [ ! -x "$udevadm" ]; then
  dpkg-deb --fsys-tarfile "$udev_deb" | tar -x -O --wildcards '*bin/udevadm' >"$udevadm.part"
  chmod +x "$udevadm.part"
  mv "$udevadm.part" "$udevadm"
fi

# --- the first archive: busybox, modules, libraries, init ------------------
root=$work/root
rm -rf "$root"
mkdir -p "$root"/{bin,proc,sys,dev,tmp,run,lib/rig-modules,lib/systemd,rig}
cp "$busybox_bin" "$root/bin/busybox"
cp "$udevadm" "$root/bin/udevadm"
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
for m in "${modules[@]}"; do
  f=$(find "$unpacked" -name "$m.ko*" | head -1)
  [ -n "$f" ] || { echo "run.sh: module $m not in $(basename "$deb")" >&2; exit 1; }
  case "$f" in
    *.ko.xz) xz -dc "$f" >"$root/lib/rig-modules/$m.ko" ;;
    *.ko.zst) zstd -qdc "$f" >"$root/lib/rig-modules/$m.ko" ;;
    *) cp "$f" "$root/lib/rig-modules/$m.ko" ;;
  esac
done
# The programs are dynamic (Debian's libusb needs libudev, which has no
# static library): copy in what the loader will look for, at the same paths.
for prog in "$flasher" "$gadget" "$oscheck" "$gang" "$probe" "$udevadm"; do
  if ldd "$prog" | grep 'not found' >&2; then
    echo "run.sh: $prog needs a library not installed here (scripts/install-deps.sh)" >&2
    exit 1
  fi
  ldd "$prog" | awk '/=> \// { print $3 } /^\t\// { print $1 }'
done | sort -u | while read -r lib; do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
cp "$here/init" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/base.cpio"

# --- the second archive: the programs under test, the cases, the data ------
extra=$work/extra
rm -rf "$extra"
mkdir -p "$extra/rig/data"
# The gang runs only the flasher beside it: both go to /rig.
cp "$flasher" "$extra/rig/flasher"
cp "$gang" "$extra/rig/flasher-gang"
cp "$probe" "$extra/rig/flasher-probe"
cp "$gadget" "$extra/rig/flasher-gadget"
cp "$oscheck" "$extra/rig/os_desc_check"
cp "$cases" "$extra/rig/cases.sh"
cat >"$extra/rig/config.sh" <<CONF
VID=$(printf '%04x' "$vid")
PID=$(printf '%04x' "$pid")
CONF
# Random contents: each run puts different bytes on the wire, and the
# gadget checks them against the same files.
head -c 256 /dev/urandom >"$extra/rig/data/params.bin"
head -c $((11 + 3 * 2048 + 16)) /dev/urandom >"$extra/rig/data/fw3.bin"
head -c $((11 + 240 * 2048 + 16)) /dev/urandom >"$extra/rig/data/fw240.bin"
(cd "$extra" && find . | cpio -o -H newc --quiet) >"$work/extra.cpio"
cat "$work/base.cpio" "$work/extra.cpio" >"$work/initrd.cpio"
echo "rig: initramfs ready after $(($(date +%s) - started)) s, booting"

# --- boot once, run every case ----------------------------------------------
log=$work/console.log
set +e
timeout 200 qemu-system-x86_64 -accel tcg -m 512M -smp 1 -nographic -no-reboot -nic none \
  -kernel "$kernel" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 quiet panic=-1" </dev/null 2>&1 | tr -d '\r' | tee "$log" |
  grep --line-buffered -E '^(rig|  )'
qemu_status=${PIPESTATUS[0]}
set -e
echo "rig: VM finished after $(($(date +%s) - started)) s in total"
if [ "$qemu_status" = 124 ]; then
  echo "rig: the VM did not finish in time; console in $log" >&2
  exit 1
fi
if grep -qx 'RIG-RESULT: pass' "$log"; then
  exit 0
fi
echo "rig: failed; whole console in $log" >&2
exit 1
