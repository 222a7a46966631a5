#!/usr/bin/env bash
# Builds every preset and runs every test: the host build over the simulated
# platform, the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# a bounded fuzz run of the switch scanner, and both Windows executables,
# checked as files and run under Wine (each in a throwaway Wine prefix).
# Installs whatever is missing first.
#
#   scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

EnsurePackages "${HOST_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" \
  "${WINE64_PACKAGES[@]}" "${WINE32_PACKAGES[@]}"

for preset in host host-asan fuzz windows-x64 windows-x86; do
  echo "== $preset" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
