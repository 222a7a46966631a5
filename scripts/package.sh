#!/usr/bin/env bash
# Builds both Windows executables and the release made of them, in
# build/packages (or the folder given): haltctl-<version>-windows-x64.zip and
# .msi, the same for x86, and SHA256SUMS. Installs whatever is missing first.
#
#   scripts/package.sh [OUTPUT-FOLDER]
#
# The bytes depend only on the sources: every date in them is
# SOURCE_DATE_EPOCH, which defaults to the time of the last commit.
# HALTCTL_SIGN_PFX (a PKCS#12 file), HALTCTL_SIGN_PASSWORD_FILE and
# HALTCTL_SIGN_TIMESTAMP_URL sign the executables and the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

EnsurePackages cmake ninja-build python3 "${WINDOWS_PACKAGES[@]}" "${RELEASE_PACKAGES[@]}"
out=${1:-build/packages}

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  if ! SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null); then
    echo "package: not a git checkout: set SOURCE_DATE_EPOCH to the release's date" >&2
    exit 1
  fi
fi

mkdir -p build/logs
for preset in windows-x64 windows-x86; do
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } \
      >"build/logs/package-$preset.log" 2>&1; then
    cat "build/logs/package-$preset.log" >&2
    echo "package: building $preset failed" >&2
    exit 1
  fi
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows-x64/CMakeCache.txt)
exec /usr/bin/python3 scripts/release.py --version "$version" --epoch "$SOURCE_DATE_EPOCH" \
  --out "$out" --build x64=build/windows-x64 --build x86=build/windows-x86
