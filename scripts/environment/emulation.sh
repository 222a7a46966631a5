#!/usr/bin/env bash
# Runs Wine's 32-bit side through QEMU user emulation, for kernels that
# cannot run 32-bit Linux programs (or for everyone, with
# HALTCTL_X86_EMULATION=1). Sourced by run.sh and test.sh; run as a command
# by the Wine harness and by itself:
#
#   scripts/environment/emulation.sh exec -- COMMAND...   COMMAND in the emulation
#   scripts/environment/emulation.sh make-root ROOT SUITE  the set-up, as root
#
# The i386 Wine lives in a Debian root of the host's release,
# build/x86-root/<release>, with QEMU 10 (from backports where the release
# has an older one), so that the host's Wine and dpkg architectures stay as
# they are. COMMAND runs on the host's files in a user, mount and pid
# namespace of its own, whose binfmt_misc (Linux 6.7 and later) alone
# knows the i386 handler; there `wine` and `wineserver` run the root's, in
# a read-only view of the root that holds the project folder and shares
# COMMAND's /tmp, a tmpfs. When COMMAND ends, the kernel ends every process
# of the namespace and drops its mounts and handler: nothing outlives a run.
X86_SCRIPT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/emulation.sh
# The project whose build/ holds the root and whose folder the view shows.
X86_PROJECT=${X86_PROJECT:-$(cd "${X86_SCRIPT%/*}/../.." && pwd)}
declare -F CanRun32BitPrograms >/dev/null || source "${X86_SCRIPT%/*}/setup.sh"

# X86EmulationWanted: whether the x86 build runs through QEMU here: where
# the kernel cannot run it, or where HALTCTL_X86_EMULATION=1 asks for that
# (to try the emulated path on a machine that does not need it).
X86EmulationWanted() {
  /usr/bin/python3 "${X86_SCRIPT%/*}/wine.py" emulated x86
}

X86Root() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  echo "$X86_PROJECT/build/x86-root/${codename:-unknown}"
}

# X86EmulationBlocker: prints, and returns 0, why the emulation cannot work
# on this machine; returns 1 when nothing is known to stop it.
X86EmulationBlocker() {
  local why
  why=$(X86EmulationBlockerDetail) || return 1
  if CanRun32BitPrograms; then
    echo "Wine's 32-bit side cannot run through QEMU here: $why"
  else
    echo "$NO_32BIT_REASON, nor through QEMU: $why"
  fi
}

X86EmulationBlockerDetail() {
  local release major minor error root
  release=$(uname -r)
  major=${release%%.*} minor=${release#*.}
  minor=${minor%%[!0-9]*}
  if [ "${major:-0}" -lt 6 ] || { [ "$major" -eq 6 ] && [ "${minor:-0}" -lt 7 ]; }; then
    echo "this kernel ($release) is older than Linux 6.7, the first to give a user namespace" \
      "a binfmt_misc of its own"
    return 0
  fi
  if ! error=$(unshare --user --map-root-user --mount \
      sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>&1); then
    echo "no user namespace with a binfmt_misc of its own can be made (${error##*$'\n'})"
    return 0
  fi
  root=$(X86Root)
  if [ -e "$root/.qemu" ] && ! HasQemu10 "$root"; then
    echo "Debian has no QEMU 10 for this release (apt installed qemu-user $(QemuVersion "$root")" \
      "in $root; remove it to try again)"
    return 0
  fi
  return 1
}

# PrepareX86Emulation: makes the root on first use. Status 0 when the x86
# build can run emulated; 1 when the set-up failed (its message printed);
# 2 when the emulation is impossible here, X86_BLOCKER saying why.
# QemuVersion ROOT: the version of qemu-user installed in ROOT, without its
# epoch, or "none"; HasQemu10 ROOT: whether it is QEMU 10 or later.
QemuVersion() {
  local version
  version=$(dpkg-query --admindir="$1/var/lib/dpkg" -W -f='${Version}' qemu-user 2>/dev/null) ||
    version=none
  echo "${version#*:}"
}

HasQemu10() {
  local version
  version=$(QemuVersion "$1")
  [ "${version%%.*}" -ge 10 ] 2>/dev/null
}

PrepareX86Emulation() {
  local root
  root=$(X86Root)
  X86_BLOCKER=$(X86EmulationBlocker) && return 2
  [ -e "$root/.complete" ] && return 0
  # One line: what, why, how big.
  echo "setup: making $root, a Debian root with Wine's 32-bit side and QEMU 10, to run the" \
    "x86 build through QEMU$(CanRun32BitPrograms && echo ', as HALTCTL_X86_EMULATION=1 asks' ||
    echo ': this kernel cannot run 32-bit programs'); once, about 400 MB to download, 2.1 GB on disk," \
    "about 2 minutes" >&2
  EnsurePackages debootstrap || return 1
  RunAsRoot bash "$X86_SCRIPT" make-root "$root" \
    "$(. /etc/os-release && echo "$VERSION_CODENAME")" || return 1
  X86_BLOCKER=$(X86EmulationBlocker) && return 2
  return 0
}

# MakeX86Root ROOT SUITE (as root): debootstrap, QEMU, then Wine's 32-bit
# side, installed in a namespace where QEMU runs the i386 maintainer
# scripts. Works in ROOT.new and publishes it by rename; a root whose
# release has no QEMU 10 is published without Wine, to say so next time.
# Every step mounts in a namespace of its own, so an interrupted set-up
# leaves nothing mounted: the next one goes on from ROOT.new once QEMU is
# in (.qemu), finishing what dpkg was doing, and otherwise starts afresh.
MakeX86Root() {
  local root=$1 suite=$2 mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
  local new=$root.new log=$root.log
  mkdir -p "$(dirname "$root")"
  exec 9>"$root.lock"
  flock 9
  [ -e "$root/.complete" ] && return 0
  if [ -e "$root/.qemu" ]; then
    RemoveUnfinished "$new" setup || return 1
    mv -T "$root" "$new"
  elif [ -e "$root" ]; then
    echo "setup: error: $root is not a root these scripts made: move it away, then run this" \
      "again" >&2
    return 1
  fi
  if [ -e "$new/.qemu" ]; then
    echo "setup: going on with the set-up that an earlier run left in $new: QEMU is in;" \
      "$([ -n "$(ls -A "$new/var/lib/dpkg/updates" 2>/dev/null)" ] &&
      echo "dpkg --configure -a finishes what dpkg was doing, then ")apt installs Wine" >&2
  else
    if [ -e "$new" ]; then
      RemoveUnfinished "$new" setup || return 1
      echo "setup: starting afresh: an earlier run left $new before QEMU was in" >&2
    fi
    echo "setup: debootstrap $suite (its output: $log)" >&2
    if ! DebootstrapAlone "$suite" "$new" "$mirror" >"$log" 2>&1; then
      tail -n 20 "$log" >&2
      echo "setup: error: debootstrap $suite failed (whole output: $log)" >&2
      return 1
    fi
  fi
  if ! RunInFullUserNamespace bash "$X86_SCRIPT" install "$new" "$suite" "$mirror" >>"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "setup: error: installing QEMU and Wine in $new failed (whole output: $log)" >&2
    return 1
  fi
  mv -T "$new" "$root"
  rm -f "$log"
}

# RunInFullUserNamespace COMMAND... (as root): COMMAND in new user, mount
# and pid namespaces where every user id maps to itself, so that apt and
# dpkg work as they do outside, but with a binfmt_misc of their own.
RunInFullUserNamespace() {
  unshare --user --mount --pid --fork --kill-child bash -c '
    until grep -q . /proc/self/uid_map; do sleep 0.05; done
    exec "$@"' _ "$@" &
  local pid=$!
  until [ "$(readlink "/proc/$pid/ns/user")" != "$(readlink /proc/self/ns/user)" ]; do
    sleep 0.05
  done
  echo "0 0 4294967295" >"/proc/$pid/gid_map"
  echo "0 0 4294967295" >"/proc/$pid/uid_map"
  wait "$pid"
}

# RegisterQemu ROOT: registers the root's QEMU for i386 programs in this
# user namespace's own binfmt_misc, with Debian's format line. The F flag
# opens QEMU now, so it works in any root; P keeps argv[0], which Debian's
# QEMU does only under a name ending in -binfmt-P.
RegisterQemu() {
  local root=$1 name type offset magic mask interpreter flags
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  IFS=: read -r _ name type offset magic mask interpreter flags \
    <"$root/usr/share/qemu/binfmt.d/qemu-i386.conf"
  printf ':%s:%s:%s:%s:%s:%s:POF' "$name" "$type" "$offset" "$magic" "$mask" \
    "$root$interpreter" >/proc/sys/fs/binfmt_misc/register
}

# InstallInRoot ROOT SUITE MIRROR (in RunInFullUserNamespace): QEMU 10 from
# the release or its backports, then Wine with its 32-bit side.
InstallInRoot() {
  local root=$1 suite=$2 mirror=$3 version
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --rbind /sys "$root/sys"
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  local apt=(chroot "$root" env DEBIAN_FRONTEND=noninteractive LC_ALL=C apt-get -q)
  if [ ! -e "$root/.qemu" ]; then
    "${apt[@]}" update
    version=$(chroot "$root" apt-cache policy qemu-user | sed -n 's/^ *Candidate: \([0-9]*:\)\{0,1\}//p')
    if [ "${version%%.*}" -lt 10 ] 2>/dev/null; then
      echo "deb $mirror $suite-backports main" >"$root/etc/apt/sources.list.d/backports.list"
      "${apt[@]}" update
    fi
    "${apt[@]}" install -y --no-install-recommends -t "$suite-backports" qemu-user ||
      "${apt[@]}" install -y --no-install-recommends qemu-user
    touch "$root/.qemu"
  fi
  if ! HasQemu10 "$root"; then
    echo "qemu-user $(QemuVersion "$root"): no QEMU 10 for $suite, Wine left out"
    return 0
  fi
  RegisterQemu "$root"
  chroot "$root" dpkg --add-architecture i386
  # What an interrupted set-up left half done (nothing otherwise).
  chroot "$root" env DEBIAN_FRONTEND=noninteractive dpkg --configure -a
  "${apt[@]}" update
  "${apt[@]}" install -y --no-install-recommends -o Dpkg::Use-Pty=0 wine wine64 wine32:i386
  "${apt[@]}" clean
  touch "$root/.complete"
}

# EnterX86Emulation ROOT COMMAND... (as pid 1 of the run's namespaces):
# the handler, the view of the root, `wine` and `wineserver` that run in
# it, then COMMAND, whose status it returns. The run's /tmp, a tmpfs, is
# made in ROOT/mnt and holds the view (/tmp/.x86-view) before it covers
# /tmp, so that a project under /tmp, whose root is there too, stays in
# reach; the project is shown at its own path wherever it is.
EnterX86Emulation() {
  local root=$1 tmp=$1/mnt view=$1/mnt/.x86-view name
  shift
  mount -t proc proc /proc
  RegisterQemu "$root"
  mount -t tmpfs -o mode=1777 x86-tmp "$tmp"
  mkdir -m 755 "$view"
  mount -t tmpfs -o mode=755 x86-view "$view"
  ShowRootFolder "$root" "$view" "${X86_PROJECT#/}" dev sys proc tmp run mnt
  for name in dev sys; do mount --rbind "/$name" "$view/$name"; done
  mount -t proc proc "$view/proc"
  mount --bind "$tmp" "$view/tmp"
  mkdir -p "$view$X86_PROJECT"
  mount --bind "$X86_PROJECT" "$view$X86_PROJECT"
  case $X86_PROJECT in /tmp/*) mount --bind "$X86_PROJECT" "$tmp${X86_PROJECT#/tmp}" ;; esac
  mount --rbind "$tmp" /tmp
  cd "$PWD" 2>/dev/null || true  # the same path, through the new /tmp
  mkdir /tmp/.x86-bin
  for name in wine wineserver; do
    printf '#!/bin/sh\n[ -d "$HALTCTL_X86_ROOT$PWD" ] && cd=$PWD || cd=/\nexec unshare --root="$HALTCTL_X86_ROOT" --wd="$cd" /usr/bin/%s "$@"\n' \
      "$name" >"/tmp/.x86-bin/$name"
  done
  chmod +x /tmp/.x86-bin/*
  HALTCTL_X86_ROOT=/tmp/.x86-view PATH=/tmp/.x86-bin:$PATH "$@"
}

# ShowRootFolder FROM TO PATH [EMPTY...]: shows the root's folder FROM at
# TO, in the view's own tmpfs: its folders and files bound read-only, its
# links copied, the EMPTY names as empty folders, and the first folder of
# PATH (the project's path from here) made anew and shown the same way, so
# that the project can have its own path under any folder of the root
# (/usr/local/src, say) while the rest of that folder is the root's.
ShowRootFolder() {
  local from=$1 to=$2 path=$3 entry name
  shift 3
  for entry in "$from"/*; do
    name=${entry##*/}
    if [[ " $* " == *" $name "* ]]; then
      mkdir "$to/$name"
    elif [ "$name" = "${path%%/*}" ]; then
      if [ -L "$entry" ] || [ ! -d "$entry" ]; then
        echo "x86 emulation: error: the project's folder $X86_PROJECT cannot be shown in the" \
          "root's view, where $entry is not a folder: clone the project elsewhere" >&2
        return 1
      fi
      mkdir "$to/$name"
      if [[ "$path" == */* ]]; then ShowRootFolder "$entry" "$to/$name" "${path#*/}"; fi
    elif [ -L "$entry" ]; then
      cp -P "$entry" "$to/$name"
    elif [ -d "$entry" ]; then
      mkdir "$to/$name"
      mount --bind -o ro "$entry" "$to/$name"
    elif [ -f "$entry" ]; then
      : >"$to/$name"
      mount --bind -o ro "$entry" "$to/$name"
    fi
  done
}

# RunInX86Emulation COMMAND...: COMMAND in the emulation, once the root is
# made. Where the emulation cannot run, says why in one line and returns 77
# (a skip to ctest); a root not yet made is a failure under CI=true.
RunInX86Emulation() {
  local root blocker
  root=$(X86Root)
  if blocker=$(X86EmulationBlocker); then
    echo "$blocker; skipped"
    return 77
  fi
  if [ ! -e "$root/.complete" ]; then
    echo "the x86 Wine root $root is not made yet (scripts/test.sh or scripts/run.sh --x86" \
      "makes it)$([ "${CI:-}" = true ] || echo '; skipped')"
    [ "${CI:-}" = true ] && return 1
    return 77
  fi
  exec unshare --user --map-root-user --mount --pid --fork --kill-child \
    bash "$X86_SCRIPT" enter "$root" "$@"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  case ${1:-} in
    exec) shift; [ "${1:-}" = -- ] && shift; RunInX86Emulation "$@" ;;
    make-root) MakeX86Root "$2" "$3" ;;
    install) InstallInRoot "$2" "$3" "$4" ;;
    enter) shift; EnterX86Emulation "$@" ;;
    *) echo "usage: $0 exec -- COMMAND... | make-root ROOT SUITE" >&2; exit 2 ;;
  esac
fi
