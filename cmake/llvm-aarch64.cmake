# Debian's LLVM for Windows on ARM64 (aarch64-w64-windows-gnu): the clang,
# lld, llvm-windres and llvm-dlltool of the release's default LLVM (the one
# Debian's clang package brings: 14 on Debian 12, 19 on Debian 13; another
# with -DHALTCTL_LLVM_VERSION=N), all from /usr/lib/llvm-N/bin so that their
# versions match. Windows headers: MinGW-w64's, which are the same for every
# architecture (mingw-w64-common). C++ headers: the libstdc++ of Debian's
# MinGW-w64 g++ for x64, configured for the same C runtime and the same
# 64-bit data model (LLP64). Debian packages no MinGW-w64 runtime for ARM64:
# the project links none (platform/startup_arm64.cpp), so CMake's own checks
# build libraries, not programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HALTCTL_LLVM_VERSION)

if(NOT HALTCTL_LLVM_VERSION)
  execute_process(COMMAND clang -dumpversion OUTPUT_VARIABLE version
    RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0 OR NOT version MATCHES "^([0-9]+)")
    message(FATAL_ERROR "no clang on the PATH to take the LLVM version from: install "
      "Debian's clang, lld and llvm (scripts/test.sh does), or give -DHALTCTL_LLVM_VERSION=N")
  endif()
  set(HALTCTL_LLVM_VERSION ${CMAKE_MATCH_1} CACHE STRING "The LLVM version that builds for ARM64")
endif()
set(llvm_bin /usr/lib/llvm-${HALTCTL_LLVM_VERSION}/bin)
foreach(tool CXX_COMPILER:clang++ RC_COMPILER:llvm-windres DLLTOOL:llvm-dlltool
    AR:llvm-ar RANLIB:llvm-ranlib OBJDUMP:llvm-objdump LINKER:ld.lld)
  string(REPLACE ":" ";" tool ${tool})
  list(GET tool 0 variable)
  list(GET tool 1 name)
  find_program(CMAKE_${variable} ${name} PATHS ${llvm_bin} NO_DEFAULT_PATH)
  if(NOT CMAKE_${variable})
    message(FATAL_ERROR "no ${llvm_bin}/${name}: install clang-${HALTCTL_LLVM_VERSION}, "
      "lld-${HALTCTL_LLVM_VERSION} and llvm-${HALTCTL_LLVM_VERSION}")
  endif()
endforeach()
set(CMAKE_CXX_COMPILER_TARGET aarch64-w64-windows-gnu)

# Headers only from MinGW-w64's folder, never the build machine's /usr/include.
set(CMAKE_SYSROOT /usr/share/mingw-w64)
execute_process(COMMAND x86_64-w64-mingw32-g++-win32 -print-file-name=include/c++
  OUTPUT_VARIABLE cxx_headers OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT IS_DIRECTORY "${cxx_headers}/x86_64-w64-mingw32/bits")
  message(FATAL_ERROR "no C++ headers of MinGW-w64's x64 g++: install g++-mingw-w64-x86-64-win32")
endif()
# clang has no C++ headers of its own for this target under that root.
set(CMAKE_CXX_FLAGS_INIT "-isystem ${cxx_headers} -isystem ${cxx_headers}/x86_64-w64-mingw32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_RC_FLAGS_INIT
  "--target=aarch64-w64-mingw32 --preprocessor-arg=--sysroot=${CMAKE_SYSROOT}")

set(CMAKE_FIND_ROOT_PATH ${CMAKE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
