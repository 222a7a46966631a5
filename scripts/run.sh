#!/usr/bin/env bash
# Builds haltctl.exe and runs it under Wine with the arguments given, in a
# Wine prefix made for this run and deleted afterwards, then reports the
# exit status. Wine's session end touches only that prefix's processes.
#
#   scripts/run.sh [--x86] [haltctl arguments...]
#
# --x86 runs the 32-bit build (needs Wine's 32-bit support); the default is x64.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

preset=windows-x64
wine_packages=("${WINE64_PACKAGES[@]}")
if [ "${1:-}" = "--x86" ]; then
  shift
  preset=windows-x86
  wine_packages+=("${WINE32_PACKAGES[@]}")
fi

EnsurePackages "${HOST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${wine_packages[@]}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" >/dev/null

prefix=$(mktemp -d "${TMPDIR:-/tmp}/haltctl-wine.XXXXXX")
export WINEPREFIX="$prefix" WINEDEBUG=-all
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT

echo "setup: running build/$preset/haltctl.exe under Wine in $prefix (first start takes a few seconds)" >&2
set +e
wine "build/$preset/haltctl.exe" "$@"
status=$?
set -e
wineserver -w || true

case $status in
  0) meaning="success: help shown, or the session-end request was accepted" ;;
  1) meaning="the platform refused the session-end request" ;;
  2) meaning="arguments not understood: usage shown" ;;
  *) meaning="not a haltctl status: Wine itself failed" ;;
esac
echo "haltctl exited with status $status ($meaning)" >&2
exit "$status"
