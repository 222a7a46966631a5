# Sourced by run.sh and bench.sh: the project's own Wine prefix for one
# architecture, build/wine-<arch>, made on first use and kept. Never ~/.wine.

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko dialogs
unset DISPLAY                                             # and no window at all

# UseWinePrefix PREFIX: exports WINEPREFIX=PREFIX, making the prefix first
# if it is missing or was made by another Wine, or before Wine's 32-bit
# support was installed (such a prefix may no longer start). In it, Wine's
# relay trace shows ExitWindowsEx, so a run can tell which request was made.
UseWinePrefix() {
  local prefix=$1
  export WINEPREFIX=$prefix
  local stamp
  stamp="$(wine --version) wine32:$(IsInstalled wine32:i386 && echo yes || echo no)"
  [ "$(cat "$prefix/.haltctl-made-by" 2>/dev/null)" = "$stamp" ] && return 0

  echo "setup: making the Wine prefix $prefix (about 20 s, once)" >&2
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
  mkdir -p "$prefix"
  if ! wineboot -i >"$prefix.log" 2>&1; then
    cat "$prefix.log" >&2
    echo "error: Wine could not make the prefix $prefix" >&2
    return 1
  fi
  printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n"RelayInclude"="user32.ExitWindowsEx"\n' \
    >"$prefix/relay.reg"
  wine regedit /S "$prefix/relay.reg" >>"$prefix.log" 2>&1
  wineserver -w
  echo "$stamp" >"$prefix/.haltctl-made-by"
  rm -f "$prefix.log"
}

# RemoveWinePrefix PREFIX: ends its processes and deletes it.
RemoveWinePrefix() {
  WINEPREFIX=$1 wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$1 wineserver -w || true
  rm -rf "$1"
}
