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
  "${WINE64_PACKAGES[@]}" "${WINE32_PACKAGES[@]}"

mkdir -p build/logs
for preset in host windows-x64 windows-x86; do
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" --target haltctl printf_floor; } \
      >"build/logs/bench-$preset.log" 2>&1; then
    cat "build/logs/bench-$preset.log" >&2
    echo "bench: building $preset failed" >&2
    exit 1
  fi
done
for arch in x64 x86; do
  (UseWinePrefix "$PWD/build/wine-$arch")
done
exec /usr/bin/python3 scripts/bench.py "${1:-21}"
