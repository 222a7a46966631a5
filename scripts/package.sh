#!/usr/bin/env bash
# Makes the release of the committed tree, in build/packages (or the folder
# given): haltctl-<version>-windows-x64.zip and .msi, the same for x86, the
# build record haltctl-<version>-buildinfo.txt, SHA256SUMS, and with
# HALTCTL_RELEASE_URL (the web folder the files will be published in) and
# HALTCTL_HOMEPAGE set, manifests/ for winget, Scoop and Chocolatey. Both
# executables are built afresh in folders of the release's own
# (build/package), with no compiler flags from the environment. Installs
# whatever is missing first.
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
# SOURCE_DATE_EPOCH, which defaults to the time of the last commit.
# HALTCTL_SIGN_PFX (a PKCS#12 file), HALTCTL_SIGN_PASSWORD_FILE and
# HALTCTL_SIGN_TIMESTAMP_URL sign the executables and the packages; any of
# them set without a usable PFX is an error. Relative paths, in the
# arguments and in these variables, are the caller's.
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
source scripts/packages.sh

usage="usage: scripts/package.sh [--allow-dirty] [--buildinfo RECORD] [OUTPUT-FOLDER]"
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
Absolute() {
  case $1 in /*) echo "$1" ;; *) echo "$caller/$1" ;; esac
}
out=$PWD/build/packages
[ $# -eq 1 ] && out=$(Absolute "$1")
for name in HALTCTL_SIGN_PFX HALTCTL_SIGN_PASSWORD_FILE; do
  if [ -n "${!name:-}" ]; then export "$name=$(Absolute "${!name}")"; fi
done
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS RCFLAGS  # the release takes no flags of the caller's

EnsurePackages cmake ninja-build python3 git "${WINDOWS_PACKAGES[@]}" "${RELEASE_PACKAGES[@]}"
/usr/bin/python3 scripts/release.py --check-signing
if [ -n "$record" ]; then
  /usr/bin/python3 scripts/release.py --compare-buildinfo "$(Absolute "$record")"
fi

# The commit released, in git's own words when git cannot tell.
if ! commit=$(git rev-parse --verify HEAD 2>&1) || ! changes=$(git status --porcelain \
    --untracked-files=no 2>&1); then
  echo "${changes:-$commit}" >&2
  echo "package: error: git cannot say which commit this is (its message is above)" >&2
  exit 1
fi
source_line="commit $commit"
if [ -n "$changes" ]; then
  if ! $allow_dirty; then
    echo "$changes" >&2
    echo "package: error: the tracked files above have uncommitted changes: commit them, or" \
      "pass --allow-dirty to try a release that is not from a commit" >&2
    exit 1
  fi
  source_line="commit $commit WITH UNCOMMITTED CHANGES: this is not a release of that commit"
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
fi

# The release's own build folders, configured afresh every time.
work=$PWD/build/package
if ! rm -rf "$work"; then
  echo "package: error: cannot remove $work: is build/ yours? (sudo leaves it root's)" >&2
  exit 1
fi
builds=()
for arch in x64 x86; do
  if ! BuildPreset "$work/build-$arch.log" "windows-$arch" -B "$work/windows-$arch"; then
    echo "package: nothing was written to $out" >&2
    exit 1
  fi
  builds+=(--build "$arch=$work/windows-$arch")
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$work/windows-x64/CMakeCache.txt")
/usr/bin/python3 scripts/release.py --version "$version" --epoch "$SOURCE_DATE_EPOCH" \
  --source "$source_line" --out "$out" --scratch "$work/scratch" "${builds[@]}"
if [ -n "$changes" ]; then
  echo "package: made from uncommitted changes: not a release of commit $commit" >&2
fi
