#!/usr/bin/env bash
# Builds every preset and runs every test: the host build over the simulated
# platform, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, a bounded fuzz run of the switch scanner, both
# Windows executables, checked as files and run under Wine (each in a
# throwaway Wine prefix), and the release: packaged twice from fresh clones,
# compared, signed, and installed, upgraded and removed under Wine.
# Installs whatever is missing first.
#
#   scripts/test.sh
#
# One line per preset; each preset's whole output is in build/logs/<preset>.log
# and is printed only when the preset fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/environment/setup.sh

# One suite at a time in a clone: the presets' folders and build/tmp are
# the suite's own until it ends.
if ! mkdir -p build || ! exec {lock}>>build/test.lock; then
  echo "test: cannot write build/test.lock: is build/ yours?" >&2
  exit 1
fi
if ! flock -n "$lock"; then
  echo "test: waiting for the other scripts/test.sh in this clone to end" >&2
  flock "$lock"
fi

ensure_packages "${HOST_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}" \
  "${WINDOWS_PACKAGES[@]}" "${ARM64_PACKAGES[@]}" "${RELEASE_PACKAGES[@]}" \
  "${RELEASE_TEST_PACKAGES[@]}" "${LINT_PACKAGES[@]}" "${WINE64_PACKAGES[@]}"
# The Wine cases of an emulated architecture run through QEMU, in a root
# made here: arm64 on any host that is not arm64, x86 where the kernel
# cannot run 32-bit programs.
for arch in x64 x86 arm64; do
  status=0
  why=$(ensure_wine "$arch") || status=$?
  [ "$status" -ne 2 ] ||
    echo "setup: $why; the $arch Wine cases will be reported as skipped"
  [ "$status" -ne 1 ] || exit 1
done
ensure_npm_packages build/npm "${LINT_NPM_PACKAGES[@]}"
ensure_pwsh build/pwsh

if ! mkdir -p build/logs || ! [ -w build/logs ]; then
  echo "test: cannot write build/logs: is build/ yours?" >&2
  exit 1
fi
summary=()
failed=0
started=$SECONDS
# ctest's "... tests passed, F tests failed out of T", shown as
# "tests: T, failed: F".
ctest_counts='s/^.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\)$/'
ctest_counts+='tests: \2, failed: \1/p'
# The suite's tools write their temporary files in a folder of its own,
# checked at the end (Wine's are in its sandboxes, gone with them).
export TMPDIR=$PWD/build/tmp
if ! rm -rf "$TMPDIR" || ! mkdir -p "$TMPDIR"; then
  echo "test: cannot remake $TMPDIR: is build/ yours?" >&2
  exit 1
fi
for preset in host host-asan fuzz windows-x64 windows-x86 windows-arm64 \
    release; do
  log=build/logs/$preset.log
  begun=$SECONDS
  if { cmake --preset "$preset" && cmake --build --preset "$preset" &&
       ctest --preset "$preset"; } >"$log" 2>&1; then
    result=passed
  else
    result=FAILED
    failed=1
    cat "$log"
  fi
  tests=$(sed -n "$ctest_counts" "$log")
  skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (Skipped).*$/\1/p' \
    "$log" | paste -sd' ')
  [ -n "$skipped" ] && tests+=", skipped: $skipped"
  line=$(printf '%-14s %-7s %4d s  %s' "$preset" "$result" \
    $((SECONDS - begun)) "${tests:-no test run}")
  echo "$line"
  summary+=("$line")
  # The fuzzer's own summary: executions, corpus, findings.
  sed -n 's/^[0-9]*: \(fuzz: .*\)$/               \1/p' "$log"
done

# What the suite's tools left in its temporary folder.
left=$(find "$TMPDIR" -mindepth 1 -maxdepth 1 -printf '%f\n' | paste -sd' ')
if [ -n "$left" ]; then
  summary+=("left behind by the suite's tools: $left")
  failed=1
fi

echo
echo "summary ($((SECONDS - started)) s in all; logs in build/logs):"
printf '  %s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
  echo "FAILED: see the output above"
  exit 1
fi
echo "all presets passed"
