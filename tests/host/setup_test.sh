#!/usr/bin/env bash
# The install path of scripts/environment/setup.sh, which a machine that already
# has every package never takes: ensure_packages against stand-ins for apt-get,
# apt-cache, dpkg-query and dpkg that behave like Debian's (a missing package is
# not found, apt's lists are empty until `apt-get update`, `--assume-no` answers
# no with status 1, apt-cache speaks the caller's language), with nothing else
# on PATH, so no clang either; and ensure_npm_packages against a stand-in npm,
# with what an interrupted install leaves beside its folder; and
# ensure_wine_root against a stand-in mmdebstrap, in a copy of the environment
# folder whose build/ is the test's own. Every row runs twice: as root, and as a
# user whom a stand-in sudo lets run the rest.
#
#   setup_test.sh PACKAGES.SH WORK
set -uo pipefail
packages=$1 work=$2
rm -rf "$work"
mkdir -p "$work/bin" "$work/project/scripts"
cp -r "$(dirname "$packages")" "$work/project/scripts/environment"
packages=$work/project/scripts/environment/${packages##*/}
for tool in bash sed grep env cat sha256sum mkdir dirname flock mktemp chmod \
    cp rm mv sleep ln tar find id; do
  ln -s "$(command -v "$tool")" "$work/bin/$tool"
done

# Stand-ins. FAKE_* variables steer them; every apt-get call is logged.
cat >"$work/bin/dpkg-query" <<'STANDIN'
#!/bin/bash
package=${!#}
if [[ " $FAKE_INSTALLED " == *" $package "* ]]; then printf 'install ok installed'; exit 0; fi
echo "dpkg-query: no packages found matching $package" >&2
exit 1
STANDIN
cat >"$work/bin/dpkg" <<'STANDIN'
#!/bin/bash
[ "$1" = --print-architecture ] && echo amd64
exit 0
STANDIN
mv "$work/bin/id" "$work/bin/real-id"
cat >"$work/bin/id" <<'STANDIN'
#!/bin/bash
if [ "$1" = -u ]; then echo "$FAKE_UID"; else real-id "$@"; fi
STANDIN
# signal-setup SIGNAL: sends it to the owned_folder.py make above.
cat >"$work/bin/signal-setup" <<'STANDIN'
#!/bin/bash
setup=$PPID
while mapfile -d '' -t argv <"/proc/$setup/cmdline" && [ "${argv[2]:-}" != make ]; do
  read -r _ _ _ setup _ <"/proc/$setup/stat"
done
kill "-$1" "$setup"
STANDIN
# A root as a tar stream on stdout, as `mmdebstrap ... SUITE -` writes it.
cat >"$work/bin/mmdebstrap" <<'STANDIN'
#!/bin/bash
echo "$*" >>"$FAKE_WORK/mmdebstrap.log"
[ -n "${FAKE_MMDEBSTRAP_FAILS:-}" ] && { echo "E: cannot find a source for wine" >&2; exit 1; }
if [ -n "${FAKE_MMDEBSTRAP_INTERRUPTED:-}" ]; then
  # Ctrl-C (or SIGKILL) reaches the set-up, owned_folder.py above the
  # shell that runs this and tar, while this goes on writing, as apt would.
  trap '' INT TERM
  signal-setup "$FAKE_MMDEBSTRAP_INTERRUPTED"
  for late in 1 2 3 4 5 6 7 8; do sleep 0.25; echo "wrote on $late" >>"$FAKE_WORK/mmdebstrap.log"; done
fi
staged=$(mktemp -d)
mkdir -p "$staged/usr/lib/wine" "$staged/usr/bin" "$staged/dev/pts" && chmod 555 "$staged/usr/bin"
tar -C "$staged" -c . && chmod -R u+w "$staged" && rm -rf "$staged"
STANDIN
cat >"$work/bin/gcc" <<'STANDIN'
#!/bin/bash
: >"${@: -2:1}"
STANDIN
cat >"$work/bin/unshare" <<'STANDIN'
#!/bin/bash
while [[ "$1" == --* ]]; do shift; done
exec "$@"
STANDIN
cat >"$work/bin/sudo" <<'STANDIN'
#!/bin/bash
echo "$1" >>"$FAKE_WORK/sudo.log"
exec "$@"
STANDIN
cat >"$work/bin/apt-cache" <<'STANDIN'
#!/bin/bash
[ -e "$FAKE_WORK/updated" ] || { echo "E: No packages found" >&2; exit 100; }
[ -n "${FAKE_NO_CLANG_N:-}" ] && { echo "clang"; exit 0; }
if [ "${LC_ALL:-}" = C ] && [ -z "${LANGUAGE:-}" ]; then depends=Depends; else depends="Hängt ab von"; fi
printf 'clang\n  %s: clang-19\n  %s: libc6\n' "$depends" "$depends"
STANDIN
cat >"$work/bin/apt-get" <<'STANDIN'
#!/bin/bash
echo "$*" >>"$FAKE_WORK/apt.log"
case "$1 $2" in
  "update "*)
    [ -n "${FAKE_UPDATE_FAILS:-}" ] && { echo "E: Failed to fetch http://deb.debian.org/" >&2; exit 100; }
    : >"$FAKE_WORK/updated" ;;
  "install --no-install-recommends")
    echo "Need to get 12.3 MB of archives."; echo "Abort."; exit 1 ;;
  "install -y")
    [ -n "${FAKE_INSTALL_FAILS:-}" ] && { echo "E: Unable to locate package cmake" >&2; exit 100; } ;;
esac
exit 0
STANDIN
cat >"$work/bin/npm" <<'STANDIN'
#!/bin/bash
echo "$*" >>"$FAKE_WORK/npm.log"
[ -n "${FAKE_NPM_FAILS:-}" ] && { echo "npm ERR! 404 Not Found" >&2; exit 1; }
[ -f package-lock.json ] || { echo "npm ERR! no package-lock.json here" >&2; exit 1; }
if [ -n "${FAKE_NPM_INTERRUPTED:-}" ]; then
  # Ctrl-C reaches the set-up (owned_folder.py, above the shell that runs
  # npm), while npm, like the real one, goes on writing for a while.
  trap '' INT TERM
  signal-setup INT
  for late in 1 2 3 4 5 6 7 8; do sleep 0.25; echo "wrote on $late" >>"$FAKE_WORK/npm.log"; done
fi
mkdir -p node_modules/linter node_modules/.bin
ln -s ../linter node_modules/.bin/linter  # as npm links a package's commands
STANDIN
chmod +x "$work/bin/"*
mkdir "$work/lint"
echo '{"private": true}' >"$work/lint/package.json"
echo '{"lockfileVersion": 3}' >"$work/lint/package-lock.json"
record=$(cat "$work/lint/package.json" "$work/lint/package-lock.json" |
  sha256sum)
record="# made from: ${record%% *}"

# It writes the pwsh that `dotnet tool install` would, into --tool-path.
cat >"$work/bin/dotnet" <<'STANDIN'
#!/bin/bash
echo "$*" >>"$FAKE_WORK/dotnet.log"
[ "$*" = "tool install PowerShell --version 7.6.10 --tool-path ." ] || exit 1
printf '#!/bin/bash\nexit 0\n' >pwsh && chmod +x pwsh
STANDIN
chmod +x "$work/bin/dotnet"
# row TABLE FIELD...: adds to the array TABLE one row, its fields joined
# with |.
row() {
  local -n table=$1
  shift
  local IFS='|'
  table+=("$*")
}
# name | FAKE_* settings | ensure_packages arguments | status | text the
# output holds | last apt-get call
apt_install="install -y --no-install-recommends -o Dpkg::Use-Pty=0"
cases=()
row cases "fresh machine" FAKE_INSTALLED= \
  "cmake clang libclang-rt-CLANG-dev" 0 "downloading 12.3 MB" \
  "$apt_install cmake clang libclang-rt-19-dev"
row cases "all installed" FAKE_INSTALLED=cmake cmake 0 "" ""
row cases "install fails" FAKE_INSTALL_FAILS=1 cmake 1 \
  "E: Unable to locate package cmake" "$apt_install cmake"
row cases "update fails" FAKE_UPDATE_FAILS=1 cmake 1 "E: Failed to fetch" \
  "update -qq"
row cases "no clang-N" FAKE_NO_CLANG_N=1 libclang-rt-CLANG-dev 1 \
  "cannot tell which libclang-rt-N-dev" "update -qq"
row cases "no apt-get" FAKE_NO_APT=1 cmake 1 "there is no apt-get" ""
row cases "sourcing alone" FAKE_INSTALLED= "" 0 "" ""
row cases "no sudo" FAKE_NO_SUDO=1 cmake 1 "sudo is not installed" ""
row cases "npm: first install" FAKE_LEFT= "ensure_npm_packages npm lint" 0 \
  "installing the linters" ""
row cases "npm: up to date" FAKE_LEFT=current "ensure_npm_packages npm lint" 0 \
  "" ""
row cases "npm: an older install" FAKE_LEFT=older \
  "ensure_npm_packages npm lint" 0 "installing the linters" ""
row cases "npm: an unfinished install left" FAKE_LEFT=unfinished \
  "ensure_npm_packages npm lint" 0 "left by an interrupted run" ""
row cases "npm: an install half put in place by a killed run" FAKE_LEFT=half \
  "ensure_npm_packages npm lint" 0 "installing the linters" ""
row cases "npm fails" FAKE_NPM_FAILS=1 "ensure_npm_packages npm lint" 1 \
  "npm ERR! 404" ""
row cases "npm: Ctrl-C while it installs" FAKE_NPM_INTERRUPTED=1 \
  "ensure_npm_packages npm lint" 130 "stopped by SIGINT" ""
row cases "npm: a folder not its own" FAKE_LEFT=foreign \
  "ensure_npm_packages npm lint" 1 \
  "holds what no run of these tools made there: mine" ""
row cases "pwsh: first install" "" "ensure_pwsh pwsh" 0 \
  "installing PowerShell 7.6.10" ""
row cases "pwsh: no .NET SDK" FAKE_NO_DOTNET=1 "ensure_pwsh pwsh" 0 \
  "no .NET SDK (dotnet) on the PATH" ""
row cases "npm: none" FAKE_NO_NPM=1 "ensure_npm_packages npm lint" 1 \
  "installing npm with apt-get" "$apt_install npm"
row cases "root: first make, umask 077, a mirror of one's own" \
  "FAKE_UMASK=077 DEBIAN_MIRROR=http://mirror.example/debian" \
  "ensure_wine_root arm64" 0 "installing Debian" ""
row cases "root: x86, made already" FAKE_LEFT=root "ensure_wine_root x86" 0 \
  "" ""
row cases "root: after a killed making" FAKE_LEFT=unfinished-root \
  "ensure_wine_root x86" 0 "left by an interrupted run" ""
row cases "root: Ctrl-C while mmdebstrap runs" FAKE_MMDEBSTRAP_INTERRUPTED=INT \
  "ensure_wine_root arm64" 130 "stopped by SIGINT" ""
row cases "root: the set-up killed while mmdebstrap runs" \
  FAKE_MMDEBSTRAP_INTERRUPTED=KILL "ensure_wine_root arm64" 137 \
  "installing Debian" ""
row cases "root: mmdebstrap fails" FAKE_MMDEBSTRAP_FAILS=1 \
  "ensure_wine_root arm64" 1 "E: cannot find a source for wine" ""
roots=$work/project/build
# shellcheck source=/dev/null  # the host's own file
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-unknown}")
failures=0
# report NAME OUTPUT [PROBLEM...]: one line for the row, and its output
# after a failure.
report() {
  local name=$1 output=$2
  shift 2
  if [ $# -eq 0 ]; then
    echo "ok   $name"
    return
  fi
  echo "FAIL $name: $(IFS=';'; echo "$*")"
  printf '       | %s\n' "${output//$'\n'/$'\n'       | }"
  failures=$((failures + 1))
}
for user in root user; do
for row in "${cases[@]}"; do
  IFS='|' read -r name settings arguments status text call <<<"$row"
  [ "$user" = root ] && [ "$name" = "no sudo" ] && continue  # root needs none
  name="$name, as $user"
  rm -f "$work/apt.log" "$work/updated" "$work/sudo.log"
  [[ "$settings" == FAKE_NO_APT=1 ]] &&
    mv "$work/bin/apt-get" "$work/apt-get.away"
  [[ "$settings" == FAKE_NO_SUDO=1 ]] && mv "$work/bin/sudo" "$work/sudo.away"
  [[ "$settings" == FAKE_NO_NPM=1 ]] && mv "$work/bin/npm" "$work/npm.away"
  [[ "$settings" == FAKE_NO_DOTNET=1 ]] &&
    mv "$work/bin/dotnet" "$work/dotnet.away"
  rm -rf "$work/npm" "$work"/.npm.haltctl-* "$work/npm.log" "$work/pwsh" \
    "$work/dotnet.log" "$roots" "$work/mmdebstrap.log"
  case $settings in
    FAKE_LEFT=current) mkdir "$work/npm" &&
      echo "$record" >"$work/npm/.haltctl-installed" ;;
    FAKE_LEFT=older) mkdir -p "$work/npm/node_modules/.bin" &&
      ln -s ../old "$work/npm/node_modules/.bin/old" &&
      printf '%s\n' "# made from: an earlier lockfile" "dir node_modules" \
        "dir node_modules/.bin" "link node_modules/.bin/old" \
        >"$work/npm/.haltctl-installed" ;;
    # Killed while it made its new folder, and while it moved one in (the
    # record, which lists everything, goes first).
    FAKE_LEFT=unfinished)
      mkdir -p "$work/.npm.haltctl-new-AbC123/node_modules" ;;
    FAKE_LEFT=half) mkdir "$work/npm" &&
      printf '%s\ndir node_modules\n' "$record" \
        >"$work/npm/.haltctl-installed" ;;
    FAKE_LEFT=foreign) mkdir "$work/npm" && : >"$work/npm/mine" ;;
    FAKE_LEFT=root)
      # shellcheck disable=SC2016  # the inner bash expands $1
      env -i PATH="$work/bin" FAKE_WORK="$work" FAKE_UID=0 \
        FAKE_INSTALLED="mmdebstrap uidmap gcc libc6-dev" \
        bash -c 'source "$1" && ensure_wine_root x86' _ "$packages" \
        >/dev/null 2>&1 && rm "$work/mmdebstrap.log" ;;
    FAKE_LEFT=unfinished-root)
      mkdir -p "$roots/x86-root/.$codename.haltctl-new-XyZ987/usr" ;;
  esac
  # $settings and $arguments are lists of words, split on purpose.
  # shellcheck disable=SC2016,SC2086  # the inner bash expands $1 and $@
  output=$(env -i PATH="$work/bin" FAKE_WORK="$work" \
    FAKE_UID="$([ $user = root ] && echo 0 || echo 1000)" \
    FAKE_INSTALLED="mmdebstrap uidmap gcc libc6-dev" LANGUAGE=de $settings \
    bash -c \
    'set -euo pipefail; umask "${FAKE_UMASK:-022}"; source "$1"; shift
     cd "$FAKE_WORK"
     case ${1:-} in
       ensure_npm_packages | ensure_pwsh | ensure_wine_root) "$@" ;;
       *) ensure_packages "$@" ;;
     esac
     echo "returned 0"' \
    _ "$packages" $arguments 2>&1)
  got=$?
  [ -e "$work/apt-get.away" ] && mv "$work/apt-get.away" "$work/bin/apt-get"
  [ -e "$work/sudo.away" ] && mv "$work/sudo.away" "$work/bin/sudo"
  [ -e "$work/npm.away" ] && mv "$work/npm.away" "$work/bin/npm"
  [ -e "$work/dotnet.away" ] && mv "$work/dotnet.away" "$work/bin/dotnet"
  last=$(sed -n '$p' "$work/apt.log" 2>/dev/null)
  # Root calls apt-get itself; a user, every time through sudo.
  through=$(grep -c . "$work/sudo.log" 2>/dev/null)
  calls=$(grep -c . "$work/apt.log" 2>/dev/null)
  problems=()
  [ "$user" = root ] && [ "${through:-0}" -ne 0 ] &&
    problems+=("root went through sudo")
  [ "$user" = user ] && [ "${through:-0}" -lt "${calls:-0}" ] &&
    problems+=("$calls apt-get calls, only ${through:-0} through sudo")
  [ "$got" -eq 0 ] && [ "$status" -ne 0 ] &&
    problems+=("status 0, expected a failure")
  [ "$got" -ne 0 ] && [ "$status" -eq 0 ] &&
    problems+=("status $got, expected 0")
  [ "$status" -gt 1 ] && [ "$got" -ne "$status" ] &&
    problems+=("status $got, expected $status")
  [ "$status" -eq 0 ] && [[ "$output" != *"returned 0" ]] &&
    problems+=("the caller did not go on")
  [ -z "$text" ] && [ "$output" != "returned 0" ] &&
    problems+=("it said something")
  [ "$status" -ne 0 ] && [ "$status" -ne 137 ] &&
    [[ "$output" != *"setup: error: "* &&
      "$output" != *"setup: stopped by "* ]] &&
    problems+=("no error message")
  [[ "$output" != *"$text"* ]] && problems+=("no '$text' in the output")
  [ "$last" != "$call" ] &&
    problems+=("last apt-get call '$last', expected '$call'")
  if [[ "$arguments" == ensure_npm_packages* ]]; then
    ran=$(cat "$work/npm.log" 2>/dev/null)
    [ "$got" -eq 0 ] &&
      ! grep -qx "$record" "$work/npm/.haltctl-installed" 2>/dev/null &&
      problems+=("npm/.haltctl-installed does not record this lockfile")
    # An interrupted npm that went on would write again within 2 s.
    if [[ "$settings" == FAKE_NPM_INTERRUPTED=1 ]]; then
      sleep 2
      grep -q '^wrote on' "$work/npm.log" &&
        problems+=("npm went on after the set-up returned")
    fi
    left=$(cd "$work" && compgen -G '.npm.haltctl-*')
    [ -n "$left" ] && problems+=("left ${left//$'\n'/ }")
    [ -n "$ran" ] && [[ "$ran" != "ci --ignore-scripts "* ]] &&
      problems+=("ran npm $ran")
    [[ "$output" == *"setup: kept "* ]] &&
      problems+=("took what the install made for another's")
    [[ "$settings" == FAKE_LEFT=current ]] && [ -n "$ran" ] &&
      problems+=("npm ran, though a whole install was there")
    [ "$settings" = FAKE_LEFT=foreign ] && ! [ -e "$work/npm/mine" ] &&
      problems+=("removed a folder not its own")
  fi
  if [[ "$arguments" == ensure_pwsh* ]]; then
    installed=$([ -x "$work/pwsh/pwsh" ] && echo yes || echo no)
    [ "$installed/$settings" = no/ ] && problems+=("no pwsh/pwsh")
    [ "$installed/$settings" = yes/FAKE_NO_DOTNET=1 ] &&
      problems+=("a pwsh without dotnet")
    [ "$(grep -c pwsh "$work/pwsh/.haltctl-installed" 2>/dev/null)" = 1 ] ||
      [ "$installed" = no ] ||
      problems+=("pwsh/.haltctl-installed does not list pwsh")
    [ -n "$(cd "$work" && compgen -G '.pwsh.haltctl-*')" ] &&
      problems+=("left a new folder")
  fi
  if [[ "$arguments" == ensure_wine_root* ]]; then
    root=$roots/${arguments#* }-root/$codename
    ran=$(cat "$work/mmdebstrap.log" 2>/dev/null)
    [ "$got" -eq 0 ] && ! [ -e "$root/.haltctl-root" ] &&
      problems+=("no record in $root")
    [ "$got" -eq 0 ] && ! [ -d "$root/usr/lib/wine" ] &&
      problems+=("no $root/usr/lib/wine")
    [ "$got" -ne 0 ] && [ -e "$root" ] && problems+=("a root after a failure")
    grep -qvx env "$work/sudo.log" 2>/dev/null &&
      problems+=("more than apt-get ran through sudo")
    [ -n "$(find "$roots" ! -user "$("$work/bin/real-id" -u)" 2>/dev/null)" ] &&
      problems+=("files in build/ that are not the caller's")
    # What a killed run left, the next one removes (a row above).
    [ "$status" -ne 137 ] &&
      [ -n "$(cd "$roots"/*-root 2>/dev/null &&
        compgen -G ".*.haltctl-new-*")" ] &&
      problems+=("left a new folder")
    [[ "$settings" == FAKE_LEFT=root ]] && [ -n "$ran" ] &&
      problems+=("remade a root made already")
    [[ "$settings" == *mirror.example* &&
      "$ran" != *"deb http://mirror.example/debian $codename main"* ]] &&
      problems+=("the mirror did not reach mmdebstrap: $ran")
    if [[ "$settings" == FAKE_MMDEBSTRAP_INTERRUPTED=* ]]; then
      sleep 2
      grep -q '^wrote on' "$work/mmdebstrap.log" &&
        problems+=("mmdebstrap went on after the set-up returned")
    fi
  fi
  report "$name" "$output" "${problems[@]}"
done
done

# Where the Wine of an architecture that runs through QEMU (x86 forced onto
# that path) cannot run, the Wine harness says why in one line and skips,
# or fails under CI=true where an install would help; nothing hangs. A
# stand-in bwrap fails as the real one does where no user namespace may be
# made; the roots are the copy's, none made.
cat >"$work/bin/bwrap-refused" <<'STANDIN'
#!/bin/sh
echo "bwrap: No permissions to create a new namespace, likely because the kernel does not allow non-privileged user namespaces." >&2
exit 1
STANDIN
printf '#!/bin/sh\nexit 0\n' >"$work/bin/bwrap-allowed"
chmod +x "$work/bin/"*
# name | bwrap stand-in | settings | status | the one line holds
harness_cases=()
row harness_cases "no user namespaces" refused CI=true 77 \
  "allows no sandbox for Wine (bwrap: No permissions to create a new namespace"
makes_it="(scripts/test.sh or scripts/run.sh --ARCH makes it); skipped"
row harness_cases "root not made" allowed CI= 77 \
  "root $roots/ARCH-root/$codename is not made yet $makes_it"
row harness_cases "root not made, CI" allowed CI=true 1 "is not made yet"
for arch in x86 arm64; do
  for row in "${harness_cases[@]}"; do
    IFS='|' read -r name bwrap settings status text <<<"$row"
    text=${text//ARCH/$arch}
    mkdir -p "$work/sandbox-bin" &&
      ln -sf "$work/bin/bwrap-$bwrap" "$work/sandbox-bin/bwrap"
    # shellcheck disable=SC2086  # $settings: a list of words, split on purpose
    output=$(env PATH="$work/sandbox-bin:$PATH" HALTCTL_X86_EMULATION=1 \
      $settings timeout 60 python3 -c 'import sys; sys.path[0] = sys.argv[1]
import wine; sys.exit(wine.enter_sandbox(sys.argv[2]) or 0)' \
      "${packages%/*}" "$arch" 2>&1)
    got=$?
    problems=()
    [ "$got" -ne "$status" ] && problems+=("status $got, expected $status")
    [ "$(wc -l <<<"$output")" -ne 1 ] && problems+=("not one line")
    [[ "$output" != *"$text"* ]] && problems+=("no '$text' in the output")
    report "$arch through QEMU: $name" "$output" "${problems[@]}"
  done
done

rm -rf "$work"
exit $((failures > 0))
