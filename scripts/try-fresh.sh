#!/usr/bin/env bash
# Tries the README's two commands as a newcomer would: on a minimal Debian
# root (made with mmdebstrap, cached between runs) that has none of the
# project's packages, as root (or with --user as a plain user who may use
# sudo, without a password since nobody is there to type it, and who has
# subordinate ids, as adduser gives one), with a clone of the current
# commit. Prints each command's time and last lines, and exits non-zero if
# either failed.
# A maintainer's tool, not part of scripts/test.sh: the first run of a suite
# downloads its base system, and each run about 600 MB of packages.
#
#   sudo scripts/try-fresh.sh [--user] SUITE      (SUITE: bookworm, trixie, ...)
#
# The base root is kept in build/fresh/SUITE-base; each run works in a copy,
# build/fresh/SUITE-run, removed at the end, and keeps each command's whole
# output in build/fresh/SUITE-<command>.log. All mounts live in a mount
# namespace of this run's own, so none survives it, however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/environment/setup.sh

as_user=false
if [ "${1:-}" = --user ]; then as_user=true; shift; fi
suite=${1:?usage: scripts/try-fresh.sh [--user] SUITE (bookworm, trixie, ...)}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
if [ "$(id -u)" -ne 0 ]; then
  echo "try-fresh: error: mmdebstrap, pivot_root and mount need root:" \
    "run it with sudo" >&2
  exit 1
fi
ensure_packages mmdebstrap git python3 arch-test

fresh=$PWD/build/fresh
base=$fresh/$suite-base
run=$fresh/$suite-run
mkdir -p "$fresh"
# Made beside it and put in place when whole (owned_folder.py); mmdebstrap
# mounts in the root it makes, in a mount namespace of its own.
/usr/bin/python3 scripts/environment/owned_folder.py make "$base" \
  .haltctl-root "minbase $suite $mirror" "a minimal Debian $suite" -- \
  unshare --mount --propagation=private \
  mmdebstrap --quiet --variant=minbase "$suite" . "$mirror"

commit=$(git rev-parse --short HEAD)
if [ -e "$run" ]; then
  echo "try-fresh: removing $run, left by an interrupted run" >&2
  rm -rf --one-file-system "$run"
fi
trap 'rm -rf --one-file-system "$run"' EXIT
cp -a "$base" "$run"
# This machine's own network settings: its resolver, and the certificate
# authorities it adds to Debian's (a proxy that inspects TLS needs them for
# npm's registry; the root's ca-certificates takes them in when installed).
cp /etc/resolv.conf "$run/etc/resolv.conf" 2>/dev/null || true
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
  mkdir -p "$run/usr/local/share/ca-certificates"
  cp /usr/local/share/ca-certificates/*.crt \
    "$run/usr/local/share/ca-certificates/"
fi
user=root home=/root
$as_user && user=newcomer home=/home/newcomer
echo "try-fresh: $suite ($(cat "$run/etc/debian_version")), commit $commit," \
  "as $user, 32-bit programs: $(
    if arch-test -n i386 >/dev/null 2>&1; then echo yes; else echo no; fi
  )" >&2

# Each command in the root, as USER with an environment like a login's and
# no stdin, as CI runs it. Prints "STATUS SECONDS".
run_in_root() {
  local name=$1 user=$2 command=$3 begun=$SECONDS status=0
  # shellcheck disable=SC2016  # the inner bash expands these
  unshare --mount --propagation private bash -c '
      set -e
      root=$1 user=$2 home=$3
      mount -t proc proc "$root/proc"
      mount --rbind /sys "$root/sys"
      mount --rbind /dev "$root/dev"
      mount -t tmpfs tmpfs "$root/dev/shm"
      mount -t tmpfs tmpfs "$root/tmp"
      # pivot_root, not chroot: a chrooted process may not make the user
      # namespaces in which every Wine run, and the making of its roots, work.
      mount --rbind "$root" "$root"
      cd "$root" && pivot_root . . && umount -l .
      exec /usr/sbin/runuser -u "$user" -- /usr/bin/env -i HOME="$home" \
        USER="$user" LANG=C.UTF-8 TERM=dumb CI=true \
        NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd && $4"' _ "$run" "$user" \
    "$([ "$user" = root ] && echo /root || echo "/home/$user")" \
    "$command" </dev/null >"$fresh/$suite-$name.log" 2>&1 || status=$?
  echo "$status $((SECONDS - begun))"
}

if $as_user; then
  # A user who may use sudo, as on a newcomer's own machine.
  read -r status seconds < <(run_in_root user root "apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
      --no-install-recommends sudo &&
    touch /etc/subuid /etc/subgid && useradd -m -s /bin/bash $user &&
    echo '$user ALL=(ALL) NOPASSWD: ALL' >/etc/sudoers.d/$user")
  if [ "$status" -ne 0 ]; then
    tail -n 15 "$fresh/$suite-user.log" >&2
    echo "try-fresh: error: could not make the user $user in the root" \
      "(status $status)" >&2
    exit 1
  fi
fi
git clone -q "$PWD" "$run$home/haltctl"
chroot "$run" chown -R "$user:" "$home/haltctl"

failed=0
for step in "run:cd haltctl && scripts/run.sh -l" \
    "test:cd haltctl && scripts/test.sh"; do
  name=${step%%:*} command=${step#*:}
  read -r status seconds < <(run_in_root "$name" "$user" "$command")
  echo
  echo "== ${command#cd haltctl && } as $user: status $status, $seconds s" \
    "(whole output: $fresh/$suite-$name.log)"
  tail -n 15 "$fresh/$suite-$name.log"
  [ "$status" -eq 0 ] || failed=1
done
echo
if [ "$failed" -ne 0 ]; then
  echo "try-fresh: $suite as $user: FAILED" >&2
  exit 1
fi
echo "try-fresh: $suite as $user: both commands passed" >&2
