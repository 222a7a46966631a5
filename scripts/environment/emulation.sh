#!/usr/bin/env bash
# Runs the Wine of a foreign architecture through QEMU user emulation: the
# x86 build's (Wine's 32-bit side) on kernels that cannot run 32-bit Linux
# programs, or for everyone with HALTCTL_X86_EMULATION=1, and the arm64
# build's (Debian's arm64 Wine) on any host that is not arm64. Sourced by
# run.sh, test.sh and bench.sh; run as a command by the Wine harness and by
# itself:
#
#   scripts/environment/emulation.sh exec ARCH -- COMMAND...  COMMAND in ARCH's emulation
#   scripts/environment/emulation.sh make-root ARCH ROOT SUITE the set-up, as root
#
# Each architecture's Wine lives in a Debian root of the host's release,
# build/<arch>-root/<release>, so that the host's Wine and dpkg architectures
# stay as they are: for x86 an amd64 root with QEMU 10 (from backports where
# the release has an older one) and Wine's i386 side; for arm64 an arm64
# root with Debian's arm64 Wine, and the static qemu-aarch64 of that same
# QEMU 10 package for the host's architecture in usr/local/lib/qemu-user
# (fetched with apt-get download, so it needs no root beside it). COMMAND
# runs on the host's files in a user, mount and pid namespace of its own,
# whose binfmt_misc (Linux 6.7 and later) alone knows the handler; there
# `wine` and `wineserver` run the root's, in a read-only view of the root
# that holds the project folder and shares COMMAND's /tmp, a tmpfs. When
# COMMAND ends, the kernel ends every process of the namespace and drops its
# mounts and handler: nothing outlives a run.
EMULATION_SCRIPT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/emulation.sh
# The project whose build/ holds the roots and whose folder the view shows.
EMULATION_PROJECT=${EMULATION_PROJECT:-$(cd "${EMULATION_SCRIPT%/*}/../.." && pwd)}
declare -F can_run_32bit_programs >/dev/null || source "${EMULATION_SCRIPT%/*}/setup.sh"
# Where an arm64 root keeps its QEMU (a program of the host's architecture).
ARM64_QEMU=usr/local/lib/qemu-user

# emulation_wanted ARCH: whether ARCH's build runs through QEMU here (the
# Wine environment tells): x86 where the kernel cannot run it, or where
# HALTCTL_X86_EMULATION=1 asks for that (to try the emulated path on a
# machine that does not need it); arm64 wherever the host is not arm64.
emulation_wanted() {
  /usr/bin/python3 "${EMULATION_SCRIPT%/*}/wine.py" emulated "$1"
}

# emulation_root ARCH: the root of ARCH's Wine for this release.
emulation_root() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  echo "$EMULATION_PROJECT/build/$1-root/${codename:-unknown}"
}

# emulation_blocker ARCH: prints, and returns 0, why ARCH's emulation cannot
# work on this machine; returns 1 when nothing is known to stop it.
emulation_blocker() {
  local why
  why=$(emulation_blocker_detail "$1") || return 1
  if [ "$1" = arm64 ]; then
    echo "Wine for arm64 cannot run through QEMU here: $why"
  elif can_run_32bit_programs; then
    echo "Wine's 32-bit side cannot run through QEMU here: $why"
  else
    echo "$NO_32BIT_REASON, nor through QEMU: $why"
  fi
}

emulation_blocker_detail() {
  local arch=$1 release major minor error root wine=""
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
  # Debian 13's arm64 Wine 10 (the same version as the host's) was tried
  # here: its wineboot -i never finished a prefix, under QEMU 10 and 11.
  [ "$arch" = arm64 ] && wine=$(dpkg-query -W -f='${Version}' wine 2>/dev/null)
  wine=${wine#*:}
  if [ "$arch" = arm64 ] && [ "${wine%%.*}" -ge 10 ] 2>/dev/null; then
    echo "Debian's arm64 Wine $wine makes no prefix under QEMU user emulation (wineboot -i was" \
      "still running after 5 minutes, with QEMU 10 and 11)"
    return 0
  fi
  root=$(emulation_root "$arch")
  if [ -e "$root/.qemu" ] && ! has_qemu_10 "$root"; then
    echo "Debian has no QEMU 10 for this release (apt installed qemu-user $(qemu_version "$root")" \
      "in $root; remove it to try again)"
    return 0
  fi
  return 1
}

# qemu_version ROOT: the version of qemu-user installed in ROOT (or, in an
# arm64 root, of the package its QEMU came from), without its epoch, or
# "none"; has_qemu_10 ROOT: whether it is QEMU 10 or later.
qemu_version() {
  local version
  if [ -f "$1/$ARM64_QEMU/version" ]; then
    version=$(cat "$1/$ARM64_QEMU/version")
  else
    version=$(dpkg-query --admindir="$1/var/lib/dpkg" -W -f='${Version}' qemu-user 2>/dev/null) ||
      version=none
  fi
  echo "${version#*:}"
}

has_qemu_10() {
  local version
  version=$(qemu_version "$1")
  [ "${version%%.*}" -ge 10 ] 2>/dev/null
}

# prepare_emulation ARCH: makes ARCH's root on first use. Status 0 when the
# ARCH build can run emulated; 1 when the set-up failed (its message
# printed); 2 when the emulation is impossible here, EMULATION_BLOCKER
# saying why.
prepare_emulation() {
  local arch=$1 root
  root=$(emulation_root "$arch")
  EMULATION_BLOCKER=$(emulation_blocker "$arch") && return 2
  [ -e "$root/.complete" ] && return 0
  # One line: what, why, how big.
  if [ "$arch" = arm64 ]; then
    echo "setup: making $root, an arm64 Debian root with Debian's arm64 Wine and QEMU 10's" \
      "qemu-aarch64, to run the arm64 build through QEMU: this machine is $(uname -m); once," \
      "about 150 MB to download, 600 MB on disk, about 5 minutes" >&2
  else
    echo "setup: making $root, a Debian root with Wine's 32-bit side and QEMU 10, to run the" \
      "x86 build through QEMU$(can_run_32bit_programs && echo ', as HALTCTL_X86_EMULATION=1 asks' ||
      echo ': this kernel cannot run 32-bit programs'); once, about 400 MB to download, 2.1 GB on disk," \
      "about 2 minutes" >&2
  fi
  ensure_packages debootstrap || return 1
  run_as_root bash "$EMULATION_SCRIPT" make-root "$arch" "$root" \
    "$(. /etc/os-release && echo "$VERSION_CODENAME")" || return 1
  EMULATION_BLOCKER=$(emulation_blocker "$arch") && return 2
  return 0
}

# make_root ARCH ROOT SUITE (as root): for x86, debootstrap, QEMU, then
# Wine's 32-bit side, installed in a namespace where QEMU runs the i386
# maintainer scripts; for arm64, debootstrap's first stage, QEMU, its second
# stage through QEMU, then Wine. Works in ROOT.new and publishes it by
# rename; a root whose release has no QEMU 10 is published without Wine, to
# say so next time. Every step mounts in a namespace of its own, so an
# interrupted set-up leaves nothing mounted: the next one goes on from
# ROOT.new once the base system runs and QEMU is in (.qemu), finishing what
# dpkg was doing, and otherwise starts afresh.
make_root() {
  local arch=$1 root=$2 suite=$3 mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
  local new=$2.new log=$2.log options=()
  [ "$arch" = arm64 ] && options=(--arch=arm64 --foreign)
  mkdir -p "$(dirname "$root")"
  exec 9>"$root.lock"
  flock 9
  [ -e "$root/.complete" ] && return 0
  if [ -e "$root/.qemu" ]; then
    remove_unfinished "$new" setup || return 1
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
      remove_unfinished "$new" setup || return 1
      echo "setup: starting afresh: an earlier run left $new before QEMU was in" >&2
    fi
    echo "setup: debootstrap $suite (its output: $log)" >&2
    if ! debootstrap_alone "$suite" "$new" "$mirror" "${options[@]}" >"$log" 2>&1; then
      tail -n 20 "$log" >&2
      echo "setup: error: debootstrap $suite failed (whole output: $log)" >&2
      return 1
    fi
  fi
  if ! run_in_full_user_namespace bash "$EMULATION_SCRIPT" install "$arch" "$new" "$suite" "$mirror" \
      >>"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "setup: error: installing QEMU and Wine in $new failed (whole output: $log)" >&2
    return 1
  fi
  mv -T "$new" "$root"
  rm -f "$log"
}

# run_in_full_user_namespace COMMAND... (as root): COMMAND in new user, mount
# and pid namespaces where every user id maps to itself, so that apt and
# dpkg work as they do outside, but with a binfmt_misc of their own.
run_in_full_user_namespace() {
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

# register_qemu ARCH ROOT: registers the root's QEMU for ARCH's programs
# (i386 for x86, aarch64 for arm64) in this user namespace's own
# binfmt_misc, with Debian's format line. The F flag opens QEMU now, so it
# works in any root; P keeps argv[0], which Debian's QEMU does only under a
# name ending in -binfmt-P.
register_qemu() {
  local arch=$1 root=$2 conf program name type offset magic mask interpreter flags
  if [ "$arch" = arm64 ]; then
    conf=$root/$ARM64_QEMU/qemu-aarch64.conf
  else
    conf=$root/usr/share/qemu/binfmt.d/qemu-i386.conf
  fi
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  IFS=: read -r _ name type offset magic mask interpreter flags <"$conf"
  # x86: the root's own QEMU, where its format line says; arm64: the copy
  # that fetch_qemu keeps under the same name.
  program=$root$interpreter
  [ "$arch" = arm64 ] && program=$root/$ARM64_QEMU/${interpreter##*/}
  printf ':%s:%s:%s:%s:%s:%s:POF' "$name" "$type" "$offset" "$magic" "$mask" "$program" \
    >/proc/sys/fs/binfmt_misc/register
}

# fetch_qemu ROOT SUITE MIRROR: puts the static qemu-aarch64 of Debian's
# qemu-user 10 for the host's architecture (from SUITE-backports where it
# has it, else SUITE's own) in ROOT/usr/local/lib/qemu-user, under the name
# Debian's format line gives it, with that line and the package's version.
# The host's apt-get downloads it with lists of its own, so the host's
# sources and state are not touched.
fetch_qemu() {
  local root=$1 suite=$2 mirror=$3 work=$1/.qemu-download deb
  rm -rf "$work" && mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts"
  printf 'deb %s %s main\ndeb %s %s-backports main\n' "$mirror" "$suite" "$mirror" "$suite" \
    >"$work/sources.list"
  local apt=(env LC_ALL=C apt-get -q -o "Dir::Etc::SourceList=$work/sources.list"
    -o "Dir::Etc::SourceParts=$work/parts" -o "Dir::State::Lists=$work/lists"
    -o "Dir::Cache=$work/cache" -o APT::Sandbox::User=root
    -o "APT::Architectures=$(dpkg --print-architecture)")
  "${apt[@]}" update
  (cd "$work" && { "${apt[@]}" download "qemu-user/$suite-backports" ||
    "${apt[@]}" download qemu-user; })
  deb=$(echo "$work"/qemu-user_*.deb)
  mkdir -p "$work/x" "$root/$ARM64_QEMU"
  dpkg-deb -x "$deb" "$work/x"
  # Under the name its format line gives (QEMU 10: aarch64-binfmt-P, the
  # only name under which Debian's takes the P flag; QEMU 11: qemu-aarch64).
  local conf=$work/x/usr/share/qemu/binfmt.d/qemu-aarch64.conf interpreter
  IFS=: read -r _ _ _ _ _ _ interpreter _ <"$conf"
  cp "$work/x/usr/bin/qemu-aarch64" "$root/$ARM64_QEMU/${interpreter##*/}"
  cp "$conf" "$root/$ARM64_QEMU/"
  dpkg-deb -f "$deb" Version >"$root/$ARM64_QEMU/version"
  rm -rf "$work"
}

# install_in_arm64_root ROOT SUITE MIRROR (in run_in_full_user_namespace): QEMU 10
# (fetch_qemu), debootstrap's second stage through it, then Wine.
install_in_arm64_root() {
  local root=$1 suite=$2 mirror=$3
  [ -e "$root/.qemu" ] || fetch_qemu "$root" "$suite" "$mirror"
  if ! has_qemu_10 "$root"; then
    touch "$root/.qemu"
    echo "qemu-user $(qemu_version "$root"): no QEMU 10 for $suite, Wine left out"
    return 0
  fi
  register_qemu arm64 "$root"
  mount --rbind /dev "$root/dev"
  mount --rbind /sys "$root/sys"
  if [ ! -e "$root/.qemu" ]; then
    # A user namespace may not make device nodes, which debootstrap tries
    # unless it believes it runs in a container; /dev is the host's, bound.
    chroot "$root" env container=lxc /debootstrap/debootstrap --second-stage
    touch "$root/.qemu"
  fi
  mount -t proc proc "$root/proc"
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  install_wine "$root" wine wine64
}

# install_wine ROOT PACKAGE... (in run_in_full_user_namespace, with QEMU
# registered): finishes what an interrupted set-up left dpkg doing (nothing
# otherwise), installs Wine's packages and marks the root complete.
install_wine() {
  local root=$1
  shift
  local apt=(chroot "$root" env DEBIAN_FRONTEND=noninteractive LC_ALL=C apt-get -q)
  chroot "$root" env DEBIAN_FRONTEND=noninteractive dpkg --configure -a
  "${apt[@]}" update
  "${apt[@]}" install -y --no-install-recommends -o Dpkg::Use-Pty=0 "$@"
  "${apt[@]}" clean
  touch "$root/.complete"
}

# install_in_root ROOT SUITE MIRROR (in run_in_full_user_namespace): QEMU 10 from
# the release or its backports, then Wine with its 32-bit side.
install_in_root() {
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
  if ! has_qemu_10 "$root"; then
    echo "qemu-user $(qemu_version "$root"): no QEMU 10 for $suite, Wine left out"
    return 0
  fi
  register_qemu x86 "$root"
  chroot "$root" dpkg --add-architecture i386
  install_wine "$root" wine wine64 wine32:i386
}

# enter_emulation ARCH ROOT COMMAND... (as pid 1 of the run's namespaces):
# the handler, the view of the root, `wine` and `wineserver` that run in
# it, then COMMAND, whose status it returns. The run's /tmp, a tmpfs, is
# made in ROOT/mnt and holds the view (/tmp/.emulation-view) before it
# covers /tmp, so that a project under /tmp, whose root is there too, stays
# in reach; the project is shown at its own path wherever it is.
enter_emulation() {
  local arch=$1 root=$2 tmp=$2/mnt view=$2/mnt/.emulation-view name
  shift 2
  mount -t proc proc /proc
  register_qemu "$arch" "$root"
  mount -t tmpfs -o mode=1777 emulation-tmp "$tmp"
  mkdir -m 755 "$view"
  mount -t tmpfs -o mode=755 emulation-view "$view"
  show_root_folder "$root" "$view" "${EMULATION_PROJECT#/}" dev sys proc tmp run mnt
  for name in dev sys; do mount --rbind "/$name" "$view/$name"; done
  mount -t proc proc "$view/proc"
  mount --bind "$tmp" "$view/tmp"
  mkdir -p "$view$EMULATION_PROJECT"
  mount --bind "$EMULATION_PROJECT" "$view$EMULATION_PROJECT"
  case $EMULATION_PROJECT in
    /tmp/*) mount --bind "$EMULATION_PROJECT" "$tmp${EMULATION_PROJECT#/tmp}" ;;
  esac
  mount --rbind "$tmp" /tmp
  cd "$PWD" 2>/dev/null || true  # the same path, through the new /tmp
  mkdir /tmp/.emulation-bin
  for name in wine wineserver; do
    printf '#!/bin/sh\n[ -d "$HALTCTL_EMULATION_ROOT$PWD" ] && cd=$PWD || cd=/\nexec unshare --root="$HALTCTL_EMULATION_ROOT" --wd="$cd" /usr/bin/%s "$@"\n' \
      "$name" >"/tmp/.emulation-bin/$name"
  done
  chmod +x /tmp/.emulation-bin/*
  HALTCTL_EMULATION_ROOT=/tmp/.emulation-view PATH=/tmp/.emulation-bin:$PATH "$@"
}

# show_root_folder FROM TO PATH [EMPTY...]: shows the root's folder FROM at
# TO, in the view's own tmpfs: its folders and files bound read-only, its
# links copied, the EMPTY names as empty folders, and the first folder of
# PATH (the project's path from here) made anew and shown the same way, so
# that the project can have its own path under any folder of the root
# (/usr/local/src, say) while the rest of that folder is the root's.
show_root_folder() {
  local from=$1 to=$2 path=$3 entry name
  shift 3
  for entry in "$from"/*; do
    name=${entry##*/}
    if [[ " $* " == *" $name "* ]]; then
      mkdir "$to/$name"
    elif [ "$name" = "${path%%/*}" ]; then
      if [ -L "$entry" ] || [ ! -d "$entry" ]; then
        echo "emulation: error: the project's folder $EMULATION_PROJECT cannot be shown in the" \
          "root's view, where $entry is not a folder: clone the project elsewhere" >&2
        return 1
      fi
      mkdir "$to/$name"
      if [[ "$path" == */* ]]; then show_root_folder "$entry" "$to/$name" "${path#*/}"; fi
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

# run_in_emulation ARCH COMMAND...: COMMAND in ARCH's emulation, once the
# root is made. Where the emulation cannot run, says why in one line and
# returns 77 (a skip to ctest); a root not yet made is a failure under
# CI=true.
run_in_emulation() {
  local arch=$1 root blocker
  shift
  root=$(emulation_root "$arch")
  if blocker=$(emulation_blocker "$arch"); then
    echo "$blocker; skipped"
    return 77
  fi
  if [ ! -e "$root/.complete" ]; then
    echo "the $arch Wine root $root is not made yet (scripts/test.sh or scripts/run.sh" \
      "--$arch makes it)$([ "${CI:-}" = true ] || echo '; skipped')"
    [ "${CI:-}" = true ] && return 1
    return 77
  fi
  exec unshare --user --map-root-user --mount --pid --fork --kill-child \
    bash "$EMULATION_SCRIPT" enter "$arch" "$root" "$@"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  case ${1:-}:${2:-} in
    exec:x86 | exec:arm64) [ "${3:-}" = -- ] && set -- "$1" "$2" "${@:4}"
      run_in_emulation "${@:2}" ;;
    make-root:x86 | make-root:arm64) make_root "$2" "$3" "$4" ;;
    install:x86) install_in_root "$3" "$4" "$5" ;;
    install:arm64) install_in_arm64_root "$3" "$4" "$5" ;;
    enter:*) shift; enter_emulation "$@" ;;
    *) echo "usage: $0 exec x86|arm64 -- COMMAND... | make-root x86|arm64 ROOT SUITE" >&2
      exit 2 ;;
  esac
fi
