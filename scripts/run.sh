#!/usr/bin/env bash
# Builds haltctl.exe and runs it under Wine with the arguments given, then
# says in one line what happened. Wine's session end touches only the
# processes of the project's own Wine prefix, never the host's session.
#
#   scripts/run.sh [--x86] [--fresh] [--] [haltctl arguments...]
#
# --x86    run the 32-bit build (needs Wine's 32-bit support); the default is x64
# --fresh  use a throwaway prefix for this run instead of the kept one
# --       end of this script's options: all that follows goes to haltctl
#
# The prefix is build/wine-<arch>, made on first use (about 20 s) and kept,
# so later runs take about a second. Never ~/.wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

arch=x64
fresh=false
while [ $# -gt 0 ]; do
  case $1 in
    --x86) arch=x86 ;;
    --fresh) fresh=true ;;
    --) shift; break ;;
    *) break ;;
  esac
  shift
done

preset=windows-$arch
packages=(cmake ninja-build python3 "${WINDOWS_PACKAGES[@]}" "${WINE64_PACKAGES[@]}")
[ "$arch" = x86 ] && packages+=("${WINE32_PACKAGES[@]}")
EnsurePackages "${packages[@]}"

# Quiet when the build works; the compiler's own words when it does not.
mkdir -p build
log=build/run-$arch.log
if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "run: the build failed (the output above is also in $log)" >&2
  exit 1
fi

source scripts/wineprefix.sh
if $fresh; then
  prefix=$(mktemp -d "$PWD/build/wine-$arch-fresh.XXXXXX")
  trap 'RemoveWinePrefix "$prefix"' EXIT
else
  prefix=$PWD/build/wine-$arch
fi
UseWinePrefix "$prefix"

trace=build/run-$arch.trace
set +e
WINEDEBUG=+relay wine "build/$preset/haltctl.exe" "$@" 2>"$trace"
status=$?
set -e

# The flags of the request, if haltctl made one, and Wine's answer.
call=$(sed -n 's/^.*:Call user32\.ExitWindowsEx(\([0-9a-fA-F]*\),.*/\1/p' "$trace" | head -n 1)
if [ -n "$call" ]; then
  wineserver -w  # the session end Wine started ends the prefix's programs
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
       meaning="$request; Wine accepted it and ended the programs of its prefix, nothing else"
     else
       meaning="showed the usage text because help was asked"
     fi ;;
  1) meaning="${request:-made a request}; Wine refused it" ;;
  2) meaning="showed the usage text: the arguments were not understood, nothing was requested" ;;
  *) meaning="did not finish: status $status is Wine's, not haltctl's (Wine's output: $trace)" ;;
esac
echo "run: haltctl $meaning (status $status)" >&2
exit "$status"
