# Sourced by the other scripts: installs the Debian/Ubuntu packages the
# project needs, only those that are missing, with apt-get (through sudo
# when not root). Says what it installs before it does, and shows apt's
# progress while it downloads.

# The fuzzing runtime must match the clang that builds the fuzzer: the one
# installed, or else the one Debian's clang package would bring.
ClangMajor() {
  if command -v clang >/dev/null 2>&1; then
    clang -dumpversion | cut -d. -f1
  else
    apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1
  fi
}

# Packages for each job.
HOST_PACKAGES=(cmake ninja-build g++ libgtest-dev python3 binutils)
FUZZ_PACKAGES=(clang "libclang-rt-$(ClangMajor)-dev")
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 python3-pefile)
RELEASE_PACKAGES=(wixl msitools faketime osslsigncode openssl)
WINE64_PACKAGES=(wine wine64)
WINE32_PACKAGES=(wine32:i386)

RunAsRoot() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "error: '$*' needs root, and sudo is not installed" >&2
    return 1
  fi
}

IsInstalled() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

# EnsurePackages PACKAGE...: installs whichever of them are missing, without
# the recommended extras (Wine's alone would add about 200 packages).
EnsurePackages() {
  local missing=() package
  for package in "$@"; do
    IsInstalled "$package" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  if ! command -v apt-get >/dev/null 2>&1; then
    echo "error: missing ${missing[*]}, and there is no apt-get to install them" >&2
    return 1
  fi
  for package in "${missing[@]}"; do
    if [[ "$package" == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
      echo "setup: enabling the i386 architecture for 32-bit Wine" >&2
      RunAsRoot dpkg --add-architecture i386 || return 1
    fi
  done
  local apt=(env DEBIAN_FRONTEND=noninteractive apt-get)
  echo "setup: installing ${missing[*]} with apt-get$([ "$(id -u)" -eq 0 ] || echo ' (through sudo)')" >&2
  RunAsRoot "${apt[@]}" update -qq || return 1
  local size
  size=$("${apt[@]}" install --no-install-recommends --assume-no "${missing[@]}" 2>/dev/null |
    sed -n 's/^Need to get \([^ ]* [kMG]*B\).*/\1/p' | sed 's|.*/||')
  echo "setup: downloading ${size:-the packages} with their dependencies; this can take minutes" >&2
  RunAsRoot "${apt[@]}" install -y --no-install-recommends -o Dpkg::Use-Pty=0 \
    "${missing[@]}" >&2 || return 1
}
