#!/usr/bin/env bash
# Builds both Windows executables and their release archives:
# build/packages/haltctl-<version>-windows-x64.zip and -windows-x86.zip.
# Installs whatever is missing first.
#
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

EnsurePackages "${HOST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"

for preset in windows-x64 windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  cpack --preset "$preset"
done
ls -l build/packages/*.zip
