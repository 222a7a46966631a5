#!/usr/bin/env bash
# The install path of scripts/environment/setup.sh, which a machine that already has
# every package never takes: ensure_packages against stand-ins for apt-get,
# apt-cache, dpkg-query and dpkg that behave like Debian's (a missing
# package is not found, apt's lists are empty until `apt-get update`,
# `--assume-no` answers no with status 1, apt-cache speaks the caller's
# language), with nothing else on PATH, so no clang either; and
# ensure_npm_packages against a stand-in npm, with what an interrupted install
# leaves beside its folder. Every row runs twice: as root, and as a user
# whom a stand-in sudo lets run the rest.
#
#   setup_test.sh PACKAGES.SH WORK
set -uo pipefail
packages=$1 work=$2
rm -rf "$work"
mkdir -p "$work/bin"
for tool in bash sed grep env cat sha256sum mkdir dirname flock mktemp chmod cp rm mv sleep ln; do
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
exit 0
STANDIN
cat >"$work/bin/id" <<'STANDIN'
#!/bin/bash
[ "$1" = -u ] && echo "$FAKE_UID"
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
  # Ctrl-C reaches the set-up (the parent of the shell that runs npm),
  # while npm, like the real one, goes on writing for a while.
  trap '' INT TERM
  read -r _ _ _ setup _ <"/proc/$PPID/stat"
  kill -INT "$setup"
  for late in 1 2 3 4 5 6 7 8; do sleep 0.25; echo "wrote on $late" >>"$FAKE_WORK/npm.log"; done
fi
mkdir -p node_modules/linter node_modules/.bin
ln -s ../linter node_modules/.bin/linter  # as npm links a package's commands
STANDIN
chmod +x "$work/bin/"*
mkdir "$work/lint"
echo '{"private": true}' >"$work/lint/package.json"
echo '{"lockfileVersion": 3}' >"$work/lint/package-lock.json"
record=$(cat "$work/lint/package.json" "$work/lint/package-lock.json" | sha256sum)
record="# made from: ${record%% *}"

# name | FAKE_* settings | ensure_packages arguments | status | text the output holds | last apt-get call
# It writes the pwsh that `dotnet tool install` would, into --tool-path.
cat >"$work/bin/dotnet" <<'STANDIN'
#!/bin/bash
echo "$*" >>"$FAKE_WORK/dotnet.log"
[ "$*" = "tool install PowerShell --version 7.6.10 --tool-path ." ] || exit 1
printf '#!/bin/bash\nexit 0\n' >pwsh && chmod +x pwsh
STANDIN
chmod +x "$work/bin/dotnet"
cases=(
  "fresh machine|FAKE_INSTALLED=|cmake clang libclang-rt-CLANG-dev|0|downloading 12.3 MB|install -y --no-install-recommends -o Dpkg::Use-Pty=0 cmake clang libclang-rt-19-dev"
  "all installed|FAKE_INSTALLED=cmake|cmake|0||"
  "install fails|FAKE_INSTALL_FAILS=1|cmake|1|E: Unable to locate package cmake|install -y --no-install-recommends -o Dpkg::Use-Pty=0 cmake"
  "update fails|FAKE_UPDATE_FAILS=1|cmake|1|E: Failed to fetch|update -qq"
  "no clang-N|FAKE_NO_CLANG_N=1|libclang-rt-CLANG-dev|1|cannot tell which libclang-rt-N-dev|update -qq"
  "no apt-get|FAKE_NO_APT=1|cmake|1|there is no apt-get|"
  "sourcing alone|FAKE_INSTALLED=||0||"
  "no sudo|FAKE_NO_SUDO=1|cmake|1|sudo is not installed|"
  "npm: first install|FAKE_LEFT=|ensure_npm_packages npm lint|0|installing the linters|"
  "npm: up to date|FAKE_LEFT=current|ensure_npm_packages npm lint|0||"
  "npm: an older install|FAKE_LEFT=older|ensure_npm_packages npm lint|0|installing the linters|"
  "npm: an unfinished install left|FAKE_LEFT=unfinished|ensure_npm_packages npm lint|0|left by an interrupted run|"
  "npm: an install half put in place by a killed run|FAKE_LEFT=half|ensure_npm_packages npm lint|0|installing the linters|"
  "npm fails|FAKE_NPM_FAILS=1|ensure_npm_packages npm lint|1|npm ERR! 404|"
  "npm: Ctrl-C while it installs|FAKE_NPM_INTERRUPTED=1|ensure_npm_packages npm lint|130|stopped by SIGINT|"
  "npm: a folder not its own|FAKE_LEFT=foreign|ensure_npm_packages npm lint|1|holds what no run of these tools made there: mine|"
  "pwsh: first install||ensure_pwsh pwsh|0|installing PowerShell 7.6.10|"
  "pwsh: no .NET SDK|FAKE_NO_DOTNET=1|ensure_pwsh pwsh|0|no .NET SDK (dotnet) on the PATH|"
  "npm: none|FAKE_NO_NPM=1|ensure_npm_packages npm lint|1|installing npm with apt-get|install -y --no-install-recommends -o Dpkg::Use-Pty=0 npm"
)
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
  sed 's/^/       | /' <<<"$output"
  failures=$((failures + 1))
}
for user in root user; do
for row in "${cases[@]}"; do
  IFS='|' read -r name settings arguments status text call <<<"$row"
  [ "$user" = root ] && [ "$name" = "no sudo" ] && continue  # root needs none
  name="$name, as $user"
  rm -f "$work/apt.log" "$work/updated" "$work/sudo.log"
  [[ "$settings" == FAKE_NO_APT=1 ]] && mv "$work/bin/apt-get" "$work/apt-get.away"
  [[ "$settings" == FAKE_NO_SUDO=1 ]] && mv "$work/bin/sudo" "$work/sudo.away"
  [[ "$settings" == FAKE_NO_NPM=1 ]] && mv "$work/bin/npm" "$work/npm.away"
  [[ "$settings" == FAKE_NO_DOTNET=1 ]] && mv "$work/bin/dotnet" "$work/dotnet.away"
  rm -rf "$work/npm" "$work"/.npm.haltctl-* "$work/npm.log" "$work/pwsh" "$work/dotnet.log"
  case $settings in
    FAKE_LEFT=current) mkdir "$work/npm" && echo "$record" >"$work/npm/.haltctl-installed" ;;
    FAKE_LEFT=older) mkdir -p "$work/npm/node_modules/.bin" &&
      ln -s ../old "$work/npm/node_modules/.bin/old" && printf '%s\n' "# made from: an earlier lockfile" \
        "dir node_modules" "dir node_modules/.bin" "link node_modules/.bin/old" \
        >"$work/npm/.haltctl-installed" ;;
    # Killed while it made its new folder, and while it moved one in (the
    # record, which lists everything, goes first).
    FAKE_LEFT=unfinished) mkdir -p "$work/.npm.haltctl-new-AbC123/node_modules" ;;
    FAKE_LEFT=half) mkdir "$work/npm" &&
      printf '%s\ndir node_modules\n' "$record" >"$work/npm/.haltctl-installed" ;;
    FAKE_LEFT=foreign) mkdir "$work/npm" && : >"$work/npm/mine" ;;
  esac
  output=$(env -i PATH="$work/bin" FAKE_WORK="$work" FAKE_UID=$([ $user = root ] && echo 0 ||
    echo 1000) LANGUAGE=de $settings bash -c \
    'set -euo pipefail; source "$1"; shift; cd "$FAKE_WORK"
     case ${1:-} in ensure_npm_packages | ensure_pwsh) "$@" ;; *) ensure_packages "$@" ;; esac
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
  [ "$user" = root ] && [ "${through:-0}" -ne 0 ] && problems+=("root went through sudo")
  [ "$user" = user ] && [ "${through:-0}" -lt "${calls:-0}" ] &&
    problems+=("$calls apt-get calls, only ${through:-0} through sudo")
  [ "$got" -eq 0 ] && [ "$status" -ne 0 ] && problems+=("status 0, expected a failure")
  [ "$got" -ne 0 ] && [ "$status" -eq 0 ] && problems+=("status $got, expected 0")
  [ "$status" -gt 1 ] && [ "$got" -ne "$status" ] && problems+=("status $got, expected $status")
  [ "$status" -eq 0 ] && [[ "$output" != *"returned 0" ]] && problems+=("the caller did not go on")
  [ -z "$text" ] && [ "$output" != "returned 0" ] && problems+=("it said something")
  [ "$status" -ne 0 ] && [[ "$output" != *"setup: error: "* && "$output" != *"setup: stopped by "* ]] &&
    problems+=("no error message")
  [[ "$output" != *"$text"* ]] && problems+=("no '$text' in the output")
  [ "$last" != "$call" ] && problems+=("last apt-get call '$last', expected '$call'")
  if [[ "$arguments" == ensure_npm_packages* ]]; then
    ran=$(cat "$work/npm.log" 2>/dev/null)
    [ "$got" -eq 0 ] && ! grep -qx "$record" "$work/npm/.haltctl-installed" 2>/dev/null &&
      problems+=("npm/.haltctl-installed does not record this lockfile")
    # An interrupted npm that went on would write again within 2 s.
    if [[ "$settings" == FAKE_NPM_INTERRUPTED=1 ]]; then
      sleep 2
      grep -q '^wrote on' "$work/npm.log" && problems+=("npm went on after the set-up returned")
    fi
    left=$(cd "$work" && compgen -G '.npm.haltctl-*')
    [ -n "$left" ] && problems+=("left $(echo $left)")
    [ -n "$ran" ] && [[ "$ran" != "ci --ignore-scripts "* ]] && problems+=("ran npm $ran")
    [[ "$output" == *"setup: kept "* ]] && problems+=("took what the install made for another's")
    [[ "$settings" == FAKE_LEFT=current ]] && [ -n "$ran" ] &&
      problems+=("npm ran, though a whole install was there")
    [ "$settings" = FAKE_LEFT=foreign ] && ! [ -e "$work/npm/mine" ] &&
      problems+=("removed a folder not its own")
  fi
  if [[ "$arguments" == ensure_pwsh* ]]; then
    installed=$([ -x "$work/pwsh/pwsh" ] && echo yes || echo no)
    [ "$installed/$settings" = no/ ] && problems+=("no pwsh/pwsh")
    [ "$installed/$settings" = yes/FAKE_NO_DOTNET=1 ] && problems+=("a pwsh without dotnet")
    [ "$(cat "$work/pwsh/.haltctl-installed" 2>/dev/null | grep -c pwsh)" = 1 ] ||
      [ "$installed" = no ] || problems+=("pwsh/.haltctl-installed does not list pwsh")
    [ -n "$(cd "$work" && compgen -G '.pwsh.haltctl-*')" ] && problems+=("left a new folder")
  fi
  report "$name" "$output" "${problems[@]}"
done
done

# Where the x86 build (forced onto that path) or the arm64 build cannot run
# through QEMU, the Wine harness skips with the reason in one line, and
# nothing hangs. The
# stand-ins fail as the real tools do on such machines; the project is a
# folder of the test's own, so no root of the machine's is looked at.
# The set-up after an interrupted one, and the emulation's view of a
# project under /tmp (with a blank) or /usr, run in a user and mount
# namespace of the test's own, with a stand-in debootstrap and a stand-in
# root that has only what the view needs: nothing is mounted on the host.
mkdir -p "$work/x86/bin" "$work/x86/project" "$work/x86/set-up-bin"
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-unknown}")
printf '#!/bin/sh\necho "${FAKE_KERNEL:-6.18.0}"\n' >"$work/x86/bin/uname"
cat >"$work/x86/bin/unshare" <<'STANDIN'
#!/bin/sh
[ -z "${FAKE_NO_USERNS:-}" ] && exit 0
echo "unshare: unshare failed: Operation not permitted" >&2
exit 1
STANDIN
printf '#!/bin/sh\necho "${FAKE_DPKG_VERSION:-1:7.2+dfsg-7+deb12u18}"\n' >"$work/x86/bin/dpkg-query"
# The view rows' Wine is Debian 12's, whatever the host's is.
mkdir -p "$work/x86/view-bin"
printf '#!/bin/sh\necho 1:8.0~repack-4\n' >"$work/x86/view-bin/dpkg-query"
cat >"$work/x86/set-up-bin/debootstrap" <<'STANDIN'
#!/bin/sh
eval "target=\${$(($# - 1))}"  # SUITE TARGET MIRROR come last
{ readlink /proc/self/ns/mnt; echo "$*"; ls -A "$target" 2>/dev/null; } >"$FAKE_WORK/debootstrap.ran"
echo "E: stand-in" && exit 1
STANDIN
chmod +x "$work/x86/bin/"* "$work/x86/set-up-bin/"* "$work/x86/view-bin/"*
# make_stand_in_root ROOT ARCH [NAME]: what the view and the handler need of a
# root; an arm64 root keeps its QEMU where the set-up puts it. Its QEMU is
# named as QEMU 10's format line names it (the -binfmt-P name), or with
# NAME=11 as QEMU 11's (the program's own name, in /usr/bin).
make_stand_in_root() {
  mkdir -p "$1"/{dev,sys,proc,tmp,run,mnt,usr/bin,usr/local/src,usr/share/qemu/binfmt.d,usr/libexec/qemu-binfmt}
  ln -s usr/bin "$1/bin" && : >"$1/.complete" && : >"$1/usr/bin/wine"
  local program=/usr/libexec/qemu-binfmt/aarch64-binfmt-P
  [ "${3:-}" = 11 ] && program=/usr/bin/qemu-aarch64
  if [ "$2" = arm64 ]; then
    mkdir -p "$1/usr/local/lib/qemu-user"
    cp "$(type -P true)" "$1/usr/local/lib/qemu-user/${program##*/}"
    printf ':qemu-aarch64:M::\\x7fELF\\x02\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\xb7\\x00:\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:%s:OPF\n' \
      "$program" >"$1/usr/local/lib/qemu-user/qemu-aarch64.conf"
    return
  fi
  program=/usr/libexec/qemu-binfmt/i386-binfmt-P
  [ "${3:-}" = 11 ] && program=/usr/bin/qemu-i386
  cp "$(type -P true)" "$1$program"
  printf ':qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:%s:\n' \
    "$program" >"$1/usr/share/qemu/binfmt.d/qemu-i386.conf"
}
export -f make_stand_in_root
script=$(cd "$(dirname "$0")/../../scripts/environment" && pwd)/emulation.sh
# What a view row runs in the emulation: the root's /usr/bin/wine and the
# project, at its own path, in the view and outside it.
view_check='for f in "$HALTCTL_EMULATION_ROOT/usr/bin/wine" "$HALTCTL_EMULATION_ROOT$EMULATION_PROJECT/here" "$EMULATION_PROJECT/here"; do
  [ -e "$f" ] || echo "no $f"; done; echo "view checked"'
# name | FAKE_* settings | what runs | status | the one line (make-root and
# view rows: text the output holds)
x86_cases=(
  "kernel 6.1|FAKE_KERNEL=6.1.0-18-amd64|harness|77|is older than Linux 6.7"
  "no user namespaces|FAKE_NO_USERNS=1|harness|77|made (unshare: unshare failed: Operation not permitted); skipped"
  "no QEMU 10|FAKE_OLD_QEMU=1|harness|77|no QEMU 10 for this release (apt installed qemu-user 7.2+dfsg-7+deb12u18"
  "root not made|CI=|harness|77|is not made yet (scripts/test.sh or scripts/run.sh --x86 makes it); skipped"
  "root not made, CI|CI=true|harness|1|is not made yet (scripts/test.sh or scripts/run.sh --x86 makes it)"
  "set-up after a SIGKILL that left proc mounted in it|FAKE_MOUNTED=1|make-root|1|/proc is still mounted"
  "set-up after one killed in debootstrap|FAKE_PARTIAL=1|make-root|1|setup: starting afresh: an earlier run left"
  "project under /tmp, with a blank|FAKE_VIEW=1|view /tmp/haltctl x86 view|0|view checked"
  "project under /usr/local/src|FAKE_VIEW=1|view /usr/local/src/haltctl|0|view checked"
  "QEMU 11's names for its program|FAKE_QEMU=11|view /usr/local/src/haltctl|0|view checked"
)
# The arm64 build runs through QEMU on any host that is not arm64.
arm64_cases=(
  "kernel 6.1|FAKE_KERNEL=6.1.0-18-amd64|harness|77|Wine for arm64 cannot run through QEMU here: this kernel (6.1.0-18-amd64) is older than Linux 6.7"
  "no user namespaces|FAKE_NO_USERNS=1|harness|77|made (unshare: unshare failed: Operation not permitted); skipped"
  "no QEMU 10|FAKE_OLD_QEMU=1|harness|77|no QEMU 10 for this release (apt installed qemu-user 7.2+dfsg-7+deb12u18"
  "root not made|CI=|harness|77|is not made yet (scripts/test.sh or scripts/run.sh --arm64 makes it); skipped"
  "root not made, CI|CI=true|harness|1|the arm64 Wine root"
  "set-up after one killed in debootstrap|FAKE_PARTIAL=1|make-root|1|setup: starting afresh: an earlier run left"
  "project under /tmp, with a blank|FAKE_VIEW=1|view /tmp/haltctl arm64 view|0|view checked"
  "QEMU 11's names for its program|FAKE_QEMU=11|view /usr/local/src/haltctl|0|view checked"
  "Debian 13's Wine 10|FAKE_DPKG_VERSION=10.0~repack-6|harness|77|makes no prefix under QEMU user emulation"
)
namespace=$(unshare --user --map-root-user --mount true 2>&1)
for row in "${x86_cases[@]/#/x86|}" "${arm64_cases[@]/#/arm64|}"; do
  IFS='|' read -r arch name settings runs status text <<<"$row"
  name="$arch through QEMU: $name"
  rm -rf "$work/x86/project/build" "$work/debootstrap.ran"
  if [[ "$settings" == FAKE_OLD_QEMU=1 ]]; then
    old=$work/x86/project/build/$arch-root/$codename
    mkdir -p "$old" && : >"$old/.qemu"
    # An arm64 root records the version of the package its QEMU came from.
    if [ "$arch" = arm64 ]; then
      mkdir -p "$old/usr/local/lib/qemu-user" && echo 1:7.2+dfsg-7+deb12u18 >"$_/version"
    fi
  fi
  if [ "$runs" != harness ] && [ -n "$namespace" ]; then
    echo "skip $name: no user namespace of the test's own ($namespace)"
    continue
  fi
  root=$work/x86/project/build/$arch-root/$codename
  case $runs in
    harness)
      output=$(env PATH="$work/x86/bin:$PATH" EMULATION_PROJECT="$work/x86/project" \
        HALTCTL_X86_EMULATION=1 $settings timeout 60 python3 -c 'import sys; sys.path[0] = sys.argv[1]
import wine; sys.exit(wine.prepare(sys.argv[2]) or 0)' \
        "$(dirname "$0")/../../scripts/environment" "$arch" 2>&1) ;;
    make-root)
      mkdir -p "$root.new/proc" && : >"$root.new/var"
      output=$(env PATH="$work/x86/set-up-bin:$PATH" FAKE_WORK="$work" $settings timeout 60 \
        unshare --user --map-root-user --mount bash -c '
          readlink /proc/self/ns/mnt >"$FAKE_WORK/caller.ns"
          [ -z "${FAKE_MOUNTED:-}" ] || mount -t tmpfs proc-left "$1.new/proc"
          : >"$1.new/proc/self"
          bash "$2" make-root "$4" "$1" "$3" && echo "make-root returned 0"
          status=$?
          [ -z "${FAKE_MOUNTED:-}" ] || [ -e "$1.new/proc/self" ] ||
            echo "the mount'"'"'s files were removed"
          exit $status' _ "$root" "$script" "$codename" "$arch" 2>&1) ;;
    view*)
      project=${runs#view }
      output=$(env PATH="$work/x86/view-bin:$PATH" FAKE_WORK="$work" timeout 60 \
        unshare --user --map-root-user --mount bash -c '
          project=$1 script=$2
          case $project in
            /tmp/*) project=$(mktemp -d "$project.XXXXXX") || exit ;;
            *) mount -t tmpfs usr-local-src "${project%/*}" && mkdir "$project" || exit ;;
          esac
          make_stand_in_root "$project/build/$5-root/$3" "$5" "$6" && : >"$project/here"
          EMULATION_PROJECT=$project HALTCTL_X86_EMULATION=1 bash "$script" exec "$5" -- bash -c "$4"
          status=$?
          case $project in /tmp/*) rm -rf "$project" ;; esac
          exit $status' _ "$project" "$script" "$codename" \
            "$view_check" "$arch" "${settings#FAKE_QEMU=}" 2>&1) ;;
  esac
  got=$?
  problems=()
  [ "$got" -ne "$status" ] && problems+=("status $got, expected $status")
  [[ "$runs" != view* ]] && [ "$(wc -l <<<"$output")" -ne 1 ] && [ "$settings" != FAKE_PARTIAL=1 ] &&
    problems+=("not one line")
  [[ "$output" != *"$text"* ]] && problems+=("no '$text' in the output")
  [[ "$output" == *"no /"* ]] && problems+=("something missing in the view")
  if [ "$settings" = FAKE_PARTIAL=1 ]; then
    # debootstrap ran in a mount namespace of its own, on an empty folder
    # that it sees at a path without a blank or a bracket.
    { read -r ns; read -r given; read -r left; } <"$work/debootstrap.ran" 2>/dev/null
    [ "${ns:-}" = "$(cat "$work/caller.ns")" ] && problems+=("debootstrap ran in the caller's mount namespace")
    [ -n "${left:-}" ] && problems+=("debootstrap found '$left' left in its folder")
    # An arm64 root's first stage only, for arm64; a whole root for x86.
    foreign=$([ "$arch" = arm64 ] && echo "--arch=arm64 --foreign ")
    [[ "${given:-}" != "--variant=minbase $foreign$codename /mnt/root "* ]] &&
      problems+=("debootstrap was given '${given:-}'")
  fi
  [ "$settings" = FAKE_MOUNTED=1 ] && [ -e "$work/debootstrap.ran" ] && problems+=("debootstrap ran")
  report "$name" "$output" "${problems[@]}"
done

rm -rf "$work"
exit $((failures > 0))
