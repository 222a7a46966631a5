#!/usr/bin/env bash
# Measures what a run of haltctl costs against its floor, a one-line printf
# program built and linked the same way, side by side in one run:
# executable sizes, wall time under Wine (x64, x86 and arm64), and
# instructions of the host build under callgrind. Prints ratios; never fails
# on a figure. Installs whatever is missing first.
#
#   scripts/bench.sh [RUNS]
#
# RUNS  timed runs of each program under Wine (default 21)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/environment/setup.sh

ensure_packages cmake ninja-build g++ python3 valgrind \
  "${WINDOWS_PACKAGES[@]}" "${ARM64_PACKAGES[@]}"
wine_arches=()
for arch in x64 x86 arm64; do
  status=0
  why=$(ensure_wine "$arch") || status=$?
  [ "$status" -ne 1 ] || exit 1
  if [ "$status" -eq 2 ]; then
    echo "bench: $why: $arch is measured for its size only" >&2
  else
    wine_arches+=("$arch")
  fi
done

for preset in host windows-x64 windows-x86 windows-arm64; do
  build_preset "build/logs/bench-$preset.log" "$preset" haltctl printf_floor
done
exec /usr/bin/python3 scripts/bench.py "${1:-21}" "${wine_arches[@]}"
