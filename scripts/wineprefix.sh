# Sourced by run.sh and bench.sh: the project's own Wine prefix for one
# architecture, build/wine-<arch>, made on first use and kept. Never ~/.wine.

# None of the caller's Wine settings (a WINEARCH or WINESERVER of theirs
# would change which Wine runs, or break it). No Mono or Gecko dialogs, no
# debugger (a crash ends the program with its exception's code), and no
# window at all. No TMPDIR either: Debian 13's wineserver aborts when it is
# set, and Debian's keeps its folder in /tmp.
while read -r name; do unset "$name"; done < <(compgen -e | grep '^WINE' || true)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY TMPDIR

# UseWine ARCH: sets WINE to the command that runs programs of that
# architecture. Debian's `wine` runs the 32-bit loader whenever wine32 is installed, even
# for a 64-bit program, and that fails on a kernel without 32-bit support:
# x64 goes to the 64-bit loader itself.
UseWine() {
  WINE=wine
  unset WINELOADER
  if [ "$1" = x64 ] && [ -x /usr/lib/wine/wine64 ]; then
    WINE=/usr/lib/wine/wine64
    export WINELOADER=$WINE
  fi
}

# UseWinePrefix PREFIX ARCH: exports WINEPREFIX=PREFIX, making the prefix
# first if it is missing or was made by another Wine, or before Wine's
# 32-bit support was installed (such a prefix may no longer start). In it,
# Wine's relay trace shows ExitWindowsEx, so a run can tell which request
# was made. Says what failed, with Wine's own words, when Wine cannot.
UseWinePrefix() {
  local prefix=$1 version
  UseWine "$2"
  export WINEPREFIX=$prefix
  if ! version=$("$WINE" --version 2>&1); then
    echo "$version" >&2
    echo "error: Wine does not start: '$WINE --version' failed (its message is above)" >&2
    return 1
  fi
  local stamp="$version wine32:$(IsInstalled wine32:i386 && echo yes || echo no)"
  [ "$(cat "$prefix/.haltctl-made-by" 2>/dev/null)" = "$stamp" ] && return 0

  echo "setup: making the Wine prefix $prefix (about 20 s, once)" >&2
  RemoveWinePrefix "$prefix" || return 1
  local log=$prefix.log
  if ! mkdir -p "$prefix" || ! : >"$log"; then
    echo "error: cannot write $prefix or $log" >&2
    return 1
  fi
  printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n"RelayInclude"="user32.ExitWindowsEx"\n' \
    >"$prefix/relay.reg" || return 1
  if ! { "$WINE" wineboot -i && "$WINE" regedit /S "$prefix/relay.reg" && wineserver -w; } \
      >>"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "error: Wine could not make the prefix $prefix (its output is above and in $log)" >&2
    return 1
  fi
  echo "$stamp" >"$prefix/.haltctl-made-by" || return 1
  rm -f "$log"
}

# RemoveWinePrefix PREFIX: ends its processes, waits for them, deletes it,
# the log of its making and the folder that Debian's Wine keeps for its
# server in /tmp.
RemoveWinePrefix() {
  if [ -d "$1" ]; then
    WINEPREFIX=$1 wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$1 wineserver -w >/dev/null 2>&1 || true
    local server
    server=$(cat "$1/wineserver" 2>/dev/null) || server=""
    [[ "$server" == wine-?????? ]] && rm -rf "/tmp/$server"
  fi
  if ! rm -rf "$1" "$1.log"; then
    echo "error: cannot remove the Wine prefix $1" >&2
    return 1
  fi
}
