#!/usr/bin/env bash
# Measures what a run of haltctl costs against its floor, a one-line printf
# program built and linked the same way, side by side in one run:
# executable sizes, wall time under Wine (x64 and x86), and instructions of
# the host build under callgrind. Prints ratios; never fails on a figure.
# Installs whatever is missing first.
#
#   scripts/bench.sh [RUNS]     RUNS: timed runs of each program under Wine (default 21)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
source scripts/wineprefix.sh

EnsurePackages cmake ninja-build g++ python3 valgrind "${WINDOWS_PACKAGES[@]}" \
  "${WINE64_PACKAGES[@]}"
wine_arches=(x64)
if CanRun32BitPrograms; then
  EnsurePackages "${WINE32_PACKAGES[@]}"
  wine_arches+=(x86)
else
  echo "bench: $NO_32BIT_REASON: x86 is measured for its size only" >&2
fi

for preset in host windows-x64 windows-x86; do
  BuildPreset "build/logs/bench-$preset.log" "$preset" haltctl printf_floor
done
loaders=()
for arch in "${wine_arches[@]}"; do
  (UseWinePrefix "$PWD/build/wine-$arch" "$arch")
  UseWine "$arch"
  loaders+=("$arch=$WINE")
done
exec /usr/bin/python3 scripts/bench.py "${1:-21}" "${loaders[@]}"
