#!/usr/bin/env bash
# Builds every preset and runs every test: the host build over the simulated
# platform, the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# a bounded fuzz run of the switch scanner, both Windows executables,
# checked as files and run under Wine (each in a throwaway Wine prefix), and
# the release: packaged twice from fresh clones, compared, signed, and
# installed, upgraded and removed under Wine.
# Installs whatever is missing first.
#
#   scripts/test.sh
#
# One line per preset; each preset's whole output is in build/logs/<preset>.log
# and is printed only when the preset fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/environment/setup.sh
source scripts/environment/emulation.sh

ensure_packages "${HOST_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" \
  "${ARM64_PACKAGES[@]}" "${RELEASE_PACKAGES[@]}" "${RELEASE_TEST_PACKAGES[@]}" \
  "${WINE64_PACKAGES[@]}"
if ! emulation_wanted x86; then
  ensure_packages "${WINE32_PACKAGES[@]}"
fi
# The Wine cases of an emulated architecture run through QEMU
# (scripts/environment/emulation.sh): arm64 on any host that is not arm64.
for arch in x86 arm64; do
  emulation_wanted "$arch" || continue
  status=0
  prepare_emulation "$arch" || status=$?
  if [ "$status" -eq 2 ]; then
    echo "setup: $EMULATION_BLOCKER; the $arch Wine cases will be reported as skipped"
  fi
  [ "$status" -ne 1 ] || exit 1
done
ensure_npm_packages build/npm "${LINT_NPM_PACKAGES[@]}"
ensure_pwsh build/pwsh

if ! mkdir -p build/logs || ! [ -w build/logs ]; then
  echo "test: cannot write build/logs: is build/ yours? (sudo leaves it root's)" >&2
  exit 1
fi
summary=()
failed=0
started=$SECONDS
# The suite's tools write their temporary files in a folder of its own, and
# its Wine harness notes each server folder it makes in /tmp (Wine keeps
# them there): both are checked at the end, and nothing else on the machine.
export TMPDIR=$PWD/build/tmp HALTCTL_WINE_FOLDERS=$PWD/build/logs/wine-folders
if ! rm -rf "$TMPDIR" || ! mkdir -p "$TMPDIR" || ! : >"$HALTCTL_WINE_FOLDERS"; then
  echo "test: cannot remake $TMPDIR: is build/ yours? (sudo leaves it root's)" >&2
  exit 1
fi
for preset in host host-asan fuzz windows-x64 windows-x86 windows-arm64 release; do
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
  tests=$(sed -n 's/^.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\)$/tests: \2, failed: \1/p' "$log")
  skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (Skipped).*$/\1/p' "$log" | paste -sd' ')
  [ -n "$skipped" ] && tests+=", skipped: $skipped"
  line=$(printf '%-14s %-7s %4d s  %s' "$preset" "$result" $((SECONDS - begun)) "${tests:-no test run}")
  echo "$line"
  summary+=("$line")
  # The fuzzer's own summary: executions, corpus, findings.
  sed -n 's/^[0-9]*: \(fuzz: .*\)$/               \1/p' "$log"
done

# What the suite's tools left: files in its temporary folder, and Wine
# server folders of its own prefixes.
left=$(find "$TMPDIR" -mindepth 1 -maxdepth 1 -printf '%f\n' | paste -sd' ')
while read -r folder; do
  if [ -e "$folder" ]; then left+=" $folder"; fi
done <"$HALTCTL_WINE_FOLDERS"
if [ -n "${left# }" ]; then
  summary+=("left behind by the suite's tools: ${left# }")
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
