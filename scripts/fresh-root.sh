#!/usr/bin/env bash
# Maintainer's check that the README's set-up works on a fresh machine: makes
# a minimal Debian 12 root (debootstrap --variant=minbase bookworm), copies
# this working tree into it as a git checkout, and runs the README's two
# commands there as root: scripts/demo.sh, then scripts/test.sh. Not run in
# CI. Needs root and the network; the whole run takes 20 to 40 minutes.
#
# Usage: scripts/fresh-root.sh [--demo-only] [ROOT]
#   ROOT defaults to build/fresh-root; whatever is there is replaced. It is
#   left in place afterwards for a look inside. --demo-only stops after
#   scripts/demo.sh. FRESH_ROOT_MIRROR picks the Debian mirror.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=$(pwd)

demo_only=0
if [ "${1:-}" = --demo-only ]; then
  demo_only=1
  shift
fi
[ $# -le 1 ] || { echo "Usage: scripts/fresh-root.sh [--demo-only] [ROOT]" >&2; exit 2; }
root=$(realpath -m "${1:-build/fresh-root}")
mirror=${FRESH_ROOT_MIRROR:-http://deb.debian.org/debian}
[ "$(id -u)" -eq 0 ] || { echo "fresh-root: run as root (debootstrap, mount, chroot)" >&2; exit 1; }

mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"
  done
  mounted=()
}
trap unmount_all EXIT
trap 'exit 130' INT TERM

# Never delete through a mount left over from an interrupted run.
if findmnt -rno TARGET | grep -q "^$root/"; then
  echo "fresh-root: something is still mounted under $root; unmount it first" >&2
  exit 1
fi
rm -rf --one-file-system "$root"

command -v debootstrap >/dev/null || {
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
}
echo "== debootstrap --variant=minbase bookworm $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
  { tail -n 20 "$root.debootstrap.log"; exit 1; }
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The working tree as it is, uncommitted changes included, committed into a
# repository of its own: the static analysis lists the sources with git.
echo "== copying $tree to $root/src"
mkdir "$root/src"
git -C "$tree" ls-files -z --cached --others --exclude-standard |
  (cd "$tree" && tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$root/src"
git -C "$root/src" init -q
git -C "$root/src" add -A
git -C "$root/src" -c user.name=fresh-root -c user.email=fresh-root@localhost \
  commit -qm "working tree of $tree"

for fs in proc sys dev dev/pts dev/shm; do
  [ -d "/$fs" ] && mountpoint -q "/$fs" || continue
  mkdir -p "$root/$fs"
  mount --bind "/$fs" "$root/$fs"
  mounted+=("$root/$fs")
  # What is mounted below it (dev/pts on dev) must not show on the host.
  mount --make-rslave "$root/$fs"
done

in_root() {
  echo "== in the fresh root: $*"
  chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c 'cd /src && "$@"' in-root "$@"
}
in_root scripts/demo.sh
[ "$demo_only" -eq 1 ] || in_root scripts/test.sh
echo "== fresh root: the README's commands passed"
