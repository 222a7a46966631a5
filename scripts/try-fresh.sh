#!/usr/bin/env bash
# Tries the README's two commands as a newcomer would: on a minimal Debian
# root (made with debootstrap, cached between runs) that has none of the
# project's packages, as root, with a clone of the current commit. Prints
# each command's time and last lines, and exits non-zero if either failed.
# A maintainer's tool, not part of scripts/test.sh: the first run of a suite
# downloads its base system, and each run about 600 MB of packages.
#
#   sudo scripts/try-fresh.sh SUITE        (SUITE: bookworm, trixie, ...)
#
# The base root is kept in build/fresh/SUITE-base; each run works in a copy,
# build/fresh/SUITE-run, removed at the end, and keeps each command's whole
# output in build/fresh/SUITE-<command>.log. All mounts live in a mount
# namespace of this run's own, so none survives it, however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

suite=${1:?usage: scripts/try-fresh.sh SUITE (bookworm, trixie, ...)}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
if [ "$(id -u)" -ne 0 ]; then
  echo "try-fresh: error: debootstrap, chroot and mount need root: run it with sudo" >&2
  exit 1
fi
EnsurePackages debootstrap git arch-test

fresh=$PWD/build/fresh
base=$fresh/$suite-base
run=$fresh/$suite-run
mkdir -p "$fresh"
if [ ! -e "$base/.complete" ]; then
  echo "try-fresh: making a minimal $suite root in $base (once; a few minutes)" >&2
  rm -rf "$base"
  if ! debootstrap --variant=minbase "$suite" "$base" "$mirror" >"$fresh/$suite-debootstrap.log" 2>&1; then
    tail -n 20 "$fresh/$suite-debootstrap.log" >&2
    echo "try-fresh: error: debootstrap $suite failed (whole output: $fresh/$suite-debootstrap.log)" >&2
    exit 1
  fi
  touch "$base/.complete"
fi

commit=$(git rev-parse --short HEAD)
rm -rf "$run"
trap 'rm -rf "$run"' EXIT
cp -a "$base" "$run"
git clone -q "$PWD" "$run/root/haltctl"
cp /etc/resolv.conf "$run/etc/resolv.conf" 2>/dev/null || true
echo "try-fresh: $suite ($(cat "$run/etc/debian_version")), commit $commit," \
  "32-bit programs: $(if arch-test -n i386 >/dev/null 2>&1; then echo yes; else echo no; fi)" >&2

# Each command in the root, with an environment like a root login's and no
# stdin, as CI runs it. Prints "STATUS SECONDS".
RunInRoot() {
  local name=$1 command=$2 begun=$SECONDS status=0
  unshare --mount --propagation private bash -c '
      set -e
      root=$1
      mount -t proc proc "$root/proc"
      mount --rbind /sys "$root/sys"
      mount --rbind /dev "$root/dev"
      mount -t tmpfs tmpfs "$root/dev/shm"
      mount -t tmpfs tmpfs "$root/tmp"
      # pivot_root, not chroot: a chrooted process may not make the user
      # namespace in which the x86 build runs through QEMU.
      mount --rbind "$root" "$root"
      cd "$root" && pivot_root . . && umount -l .
      exec /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb CI=true \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd /root/haltctl && $2"' _ "$run" "$command" \
    </dev/null >"$fresh/$suite-$name.log" 2>&1 || status=$?
  echo "$status $((SECONDS - begun))"
}

failed=0
for step in "run:scripts/run.sh -l" "test:scripts/test.sh"; do
  name=${step%%:*} command=${step#*:}
  read -r status seconds < <(RunInRoot "$name" "$command")
  echo
  echo "== $command: status $status, $seconds s (whole output: $fresh/$suite-$name.log)"
  tail -n 15 "$fresh/$suite-$name.log"
  [ "$status" -eq 0 ] || failed=1
done
echo
if [ "$failed" -ne 0 ]; then
  echo "try-fresh: $suite: FAILED" >&2
  exit 1
fi
echo "try-fresh: $suite: both commands passed" >&2
