#!/usr/bin/env bash
# Makes the release of the committed tree, in build/packages (or the folder
# given): haltctl-<version>-windows-x64.zip and .msi, the same for x86 and
# arm64, the build record haltctl-<version>-buildinfo.txt, SHA256SUMS, and
# with HALTCTL_RELEASE_URL (the web folder the files will be published in)
# and HALTCTL_HOMEPAGE set, manifests/ for winget, Scoop and Chocolatey. The
# executables are built afresh in folders of the release's own
# (build/package). Installs whatever is missing first.
#
#   scripts/package.sh [--allow-dirty] [--buildinfo RECORD] [OUTPUT-FOLDER]
#
# --allow-dirty  package uncommitted changes to tracked files, for trying
#                things: the build record and the last line then say that
#                the release is not from a commit
# --buildinfo    a release's build record: names each package installed here
#                in another version than the one that made that release
#
# The bytes depend only on the sources: every date in them is
# SOURCE_DATE_EPOCH, by default the time of the last commit.
# HALTCTL_SIGN_PFX (a PKCS#12 file), HALTCTL_SIGN_PASSWORD_FILE and
# HALTCTL_SIGN_TIMESTAMP_URL sign the executables and the packages; any of
# them set without a usable PFX is an error. Relative paths are the
# caller's. Nothing else of the caller's environment reaches the build (see
# Clean below): no compiler variable (CPATH, CXXFLAGS, ...) can change a
# byte. One release at a time in a clone: a second run stops at once.
#
# A folder given on the command line must be new or empty, and is never
# replaced. build/packages is the tools' own: an earlier release there is
# replaced (scripts/environment/owned_folder.py). Neither may touch the
# sources or build/package; anything else stops the run before it builds.
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
source scripts/environment/setup.sh

usage="usage: scripts/package.sh [--allow-dirty] [--buildinfo RECORD]"
usage+=" [OUTPUT-FOLDER]"
allow_dirty=false
record=""
while [ $# -gt 0 ]; do
  case $1 in
    --allow-dirty) allow_dirty=true; shift ;;
    --buildinfo) record=${2:?$usage}; shift 2 ;;
    --) shift; break ;;
    -*) echo "package: unknown option $1 ($usage)" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ $# -gt 1 ]; then
  echo "package: one output folder at most ($usage)" >&2
  exit 2
fi
absolute() {
  case $1 in /*) echo "$1" ;; *) echo "$caller/$1" ;; esac
}
out=$PWD/build/packages
[ $# -eq 1 ] && out=$(absolute "$1")
owned=()
if [ "$(realpath -m "$out")" = "$(realpath -m build/packages)" ]; then
  owned=(--owned)
fi
for name in HALTCTL_SIGN_PFX HALTCTL_SIGN_PASSWORD_FILE; do
  if [ -n "${!name:-}" ]; then export "$name=$(absolute "${!name}")"; fi
done

ensure_packages cmake ninja-build python3 git "${WINDOWS_PACKAGES[@]}" \
  "${ARM64_PACKAGES[@]}" "${RELEASE_PACKAGES[@]}"
/usr/bin/python3 scripts/release/release.py --check "$out" "${owned[@]}"
if [ -n "$record" ]; then
  /usr/bin/python3 scripts/release/release.py \
    --compare-buildinfo "$(absolute "$record")"
fi

# The commit released, in git's own words when git cannot tell.
if ! commit=$(git rev-parse --verify HEAD 2>&1) ||
    ! changes=$(git status --porcelain --untracked-files=no 2>&1); then
  echo "${changes:-$commit}" >&2
  echo "package: error: git cannot say which commit this is" \
    "(its message is above)" >&2
  exit 1
fi
source_line="commit $commit"
if [ -n "$changes" ]; then
  if ! $allow_dirty; then
    echo "$changes" >&2
    echo "package: error: the tracked files above have uncommitted changes:" \
      "commit them, or pass --allow-dirty to try a release that is not from" \
      "a commit" >&2
    exit 1
  fi
  source_line="commit $commit WITH UNCOMMITTED CHANGES:"
  source_line+=" this is not a release of that commit"
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
fi

# One release at a time in this clone: the lock is held on the source
# tree's folder until this script ends.
exec {lock}<.
if ! flock -n "$lock"; then
  echo "package: error: another scripts/package.sh is making a release in" \
    "$PWD: wait for it to end, or make this one from another clone" >&2
  exit 1
fi

# The release's own build folders, configured afresh every time.
work=$PWD/build/package
if ! rm -rf "$work" || ! mkdir -p "$work/tmp"; then
  echo "package: error: cannot remake $work: is build/ yours?" \
    "(sudo leaves it root's)" >&2
  exit 1
fi
# Clean COMMAND...: runs it with these variables and no others.
clean=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$HOME" LC_ALL=C.UTF-8
  TMPDIR="$work/tmp" SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH")
for name in HALTCTL_SIGN_PFX HALTCTL_SIGN_PASSWORD_FILE \
    HALTCTL_SIGN_TIMESTAMP_URL HALTCTL_RELEASE_URL HALTCTL_HOMEPAGE; do
  if [ -n "${!name+set}" ]; then clean+=("$name=${!name}"); fi
done
builds=()
for arch in x64 x86 arm64; do
  if ! "${clean[@]}" bash -c \
      'source scripts/environment/setup.sh && build_preset "$@"' _ \
      "$work/build-$arch.log" "windows-$arch" -B "$work/windows-$arch"; then
    echo "package: nothing was written to $out" >&2
    exit 1
  fi
  builds+=(--build "$arch=$work/windows-$arch")
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' \
  "$work/windows-x64/CMakeCache.txt")
"${clean[@]}" /usr/bin/python3 scripts/release/release.py --version "$version" \
  --epoch "$SOURCE_DATE_EPOCH" --source "$source_line" --out "$out" \
  "${owned[@]}" "${builds[@]}"
rm -rf "$work/tmp"
if [ -n "$changes" ]; then
  echo "package: made from uncommitted changes: not a release of commit" \
    "$commit" >&2
fi
