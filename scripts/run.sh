#!/usr/bin/env bash
# Builds haltctl.exe and runs it under Wine with the arguments given, then
# says in one line what happened. Wine's session end touches only the
# processes of the project's own Wine prefix, never the host's session.
#
#   scripts/run.sh [--x86 | --arm64] [--fresh] [--] [haltctl arguments...]
#
# --x86    run the 32-bit build (needs Wine's 32-bit support; where the kernel
#          cannot run 32-bit programs, or HALTCTL_X86_EMULATION=1, Wine's
#          32-bit side runs through QEMU); the default is x64
# --arm64  run the ARM64 build, under Debian's arm64 Wine through QEMU (on a
#          host that is not arm64)
# --fresh  use a throwaway prefix for this run instead of the kept one: made
#          in the run's sandbox, it is gone with it
# --       end of this script's options: all that follows goes to haltctl
#
# The prefix is build/wine-<arch>, made on first use (about 20 s) and kept,
# so later runs take a second or a few (a session end makes Wine start the
# prefix's programs again). Never ~/.wine. Each Wine program runs in a
# sandbox that the kernel cleans up (scripts/environment/wine.py). Runs for
# one architecture take turns: a second one waits for the first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/environment/setup.sh

arch=x64
fresh=false
while [ $# -gt 0 ]; do
  case $1 in
    --x86) arch=x86 ;;
    --arm64) arch=arm64 ;;
    --fresh) fresh=true ;;
    --) shift; break ;;
    *) break ;;
  esac
  shift
done

preset=windows-$arch
wine=(/usr/bin/python3 scripts/environment/wine.py)
ensure_packages cmake ninja-build python3 "${WINDOWS_PACKAGES[@]}"
[ "$arch" = arm64 ] && ensure_packages "${ARM64_PACKAGES[@]}"
status=0
why=$(ensure_wine "$arch") || status=$?
if [ "$status" -ne 0 ]; then
  [ -z "$why" ] || echo "run: $why$([ "$arch" = x64 ] ||
    echo '; run the x64 build instead')" >&2
  exit 1
fi

# One run at a time for each architecture: a session end ends every
# program of the prefix, and the build folder, the prefix and the trace
# must be this run's own until it has said what happened.
mkdir -p build
exec {lock}>>"build/run-$arch.lock"
if ! flock -n "$lock"; then
  echo "run: waiting for another scripts/run.sh$([ "$arch" = x64 ] ||
    echo " --$arch") to end" >&2
  flock "$lock"
fi

# Quiet when the build works; the compiler's own words when it does not.
if ! build_preset "build/run-$arch.log" "$preset"; then
  echo "run: haltctl.exe was not built, so nothing was run" >&2
  exit 1
fi

prefix=--fresh
if ! $fresh; then
  prefix=$PWD/build/wine-$arch
  "${wine[@]}" prefix "$arch" "$prefix"
fi

trace=build/run-$arch.trace
if ! : >"$trace"; then
  echo "run: cannot write $trace: is build/ yours?" >&2
  exit 1
fi
set +e
"${wine[@]}" exec "$arch" "$prefix" --debug +relay -- \
  "build/$preset/haltctl.exe" "$@" 2>"$trace"
status=$?
set -e

# The flags of the request, if haltctl made one, and Wine's answer.
call=$(sed -n \
  's/^.*:Call user32\.ExitWindowsEx(\([0-9a-fA-F]*\),.*/\1/p' \
  "$trace" | head -n 1)
answer=$(sed -n \
  's/^.*:Ret  user32\.ExitWindowsEx() retval=\([0-9a-fA-F]*\) .*/\1/p' \
  "$trace" | head -n 1)
if [ -n "$call" ]; then
  flags=$((16#$call))
  words=""
  ((flags & 1)) && words+=" + shutdown"
  ((flags & 2)) && words+=" + reboot"
  ((flags & 8)) && words+=" + poweroff"
  [ -z "$words" ] && words=" + logoff"
  words=${words# + }
  ((flags & 4)) && words+=", forcing programs to close"
  request="requested $words (ExitWindowsEx flags 0x$call)"
fi

case $status in
  0) if [ -n "$call" ]; then
       meaning="$request; Wine accepted it and ended the programs of its"
       meaning+=" prefix, nothing else"
     else
       meaning="showed the usage text because help was asked"
     fi ;;
  1) if [ -n "$call" ] && [ -n "$answer" ] && [ $((16#$answer)) -eq 0 ]; then
       meaning="$request; Wine refused it"
     fi ;;
  2) meaning="showed the usage text: the arguments were not understood,"
     meaning+=" nothing was requested" ;;
esac
if [ -z "${meaning:-}" ]; then
  # Not haltctl's answer: Wine's own failure, in its own words.
  grep -v -e ':Call ' -e ':Ret ' "$trace" | tail -n 10 >&2 || true
  echo "run: Wine failed, status $status: haltctl ${request:-made no request}" \
    "(the end of Wine's output is above; all of it is in $trace)" >&2
  exit "$((status == 0 ? 1 : status))"
fi
echo "run: haltctl $meaning (status $status)" >&2
exit "$status"
