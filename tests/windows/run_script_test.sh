#!/usr/bin/env bash
# scripts/run.sh as a user runs it: `-?` and `-l` started together, twice,
# with a caller's WINEARCH and WINESERVER that must not reach Wine. Each
# run's last line must describe its own request, the lock they take turns
# with must be free once both have ended (Wine's lingering programs may not
# hold it), a --fresh run must leave nothing of its prefix in build/, and
# a second scripts/test.sh must wait for the one that runs.
#
#   run_script_test.sh SOURCE WORK
set -uo pipefail
source=$1 work=$2
rm -rf "$work"
mkdir -p "$work"
export WINEARCH=win32 WINESERVER=$work/no-such-wineserver
# arguments | the last line holds
cases=(
  "-?|showed the usage text because help was asked (status 0)"
  "-l|requested logoff (ExitWindowsEx flags 0x00000000); Wine accepted it"
)
failures=0
for round in 1 2; do
  pids=()
  for i in "${!cases[@]}"; do
    bash "$source/scripts/run.sh" "${cases[i]%%|*}" </dev/null \
      >"$work/$round.$i" 2>&1 &
    pids+=($!)
  done
  for i in "${!cases[@]}"; do
    wait "${pids[i]}"
    status=$? last=$(tail -n 1 "$work/$round.$i")
    if [[ "$last" == *"${cases[i]#*|}"* ]]; then
      echo "ok   round $round, run.sh ${cases[i]%%|*}: $last"
    else
      echo "FAIL round $round, run.sh ${cases[i]%%|*}: status $status," \
        "expected '${cases[i]#*|}':"
      sed 's/^/       | /' "$work/$round.$i"
      failures=$((failures + 1))
    fi
  done
  if flock -n "$source/build/run-x64.lock" true; then
    echo "ok   round $round: the lock is free once both runs have ended"
  else
    echo "FAIL round $round: the lock is still held after both runs ended"
    failures=$((failures + 1))
  fi
done
# A throwaway prefix lives in the run's sandbox: nothing of it in build/.
bash "$source/scripts/run.sh" --fresh -? </dev/null >"$work/fresh" 2>&1
status=$? left=$(find "$source/build" -maxdepth 1 -name 'wine-x64-fresh*' \
  -printf '%f ')
if [ "$status" -ne 0 ] || [ -n "$left" ]; then
  echo "FAIL run.sh --fresh -?: status $status, left ${left:-nothing}:"
  sed 's/^/       | /' "$work/fresh"
  failures=$((failures + 1))
else
  echo "ok   run.sh --fresh -? left nothing in build/"
fi
# A second scripts/test.sh in the clone waits for the first (this suite's
# own, or the lock held here): it never starts, so it cannot break it.
{
  flock -n 9 || true
  timeout 5 bash "$source/scripts/test.sh" </dev/null >"$work/second" 2>&1
  status=$?
} 9>>"$source/build/test.lock"
if [ "$status" -eq 124 ] &&
    grep -q "^test: waiting for the other scripts/test.sh" "$work/second"; then
  echo "ok   a second scripts/test.sh waits for the first"
else
  echo "FAIL a second scripts/test.sh: status $status, expected it to wait:"
  sed 's/^/       | /' "$work/second"
  failures=$((failures + 1))
fi
rm -rf "$work"
exit $((failures > 0))
