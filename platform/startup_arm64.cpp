// The start-up code of the ARM64 build, which links no runtime objects:
// Debian packages no MinGW-w64 runtime for ARM64, so this file does the
// little of one that haltctl needs, over msvcrt.dll as the x64 and x86
// builds do. The process starts at mainCRTStartup, which gets the arguments
// from msvcrt, runs the static constructors and main, and exits with main's
// status through msvcrt's exit (which flushes stdout). __delayLoadHelper2
// loads USER32 and ADVAPI32 at their first call for lld's delay-load thunks.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <delayimp.h>
#include <stdio.h>
#include <stdlib.h>

struct MsvcrtStartupInfo {
  int new_mode;
};

extern "C" {
__declspec(dllimport) int __cdecl __getmainargs(int* argc, char*** argv, char*** env,
                                                int expand_wildcards, MsvcrtStartupInfo* info);
__declspec(dllimport) void __cdecl __set_app_type(int type);
__declspec(dllimport) void __cdecl _amsg_exit(int error);
// The program's main, called by its symbol: C++ forbids naming main itself.
int ProgramMain(int argc, char** argv) __asm__("main");
// What lld defines: the first byte of the image, and the static
// constructors between a -1 and a null entry.
extern IMAGE_DOS_HEADER __ImageBase;
extern void (*__CTOR_LIST__[])();
// The stream accessor that MinGW-w64's <stdio.h> imports for stdin, stdout
// and stderr. msvcrt.dll has none (UCRT's name): msvcrt's own array stands
// behind it, as in MinGW-w64's import library for msvcrt.
extern FILE* (*const __imp___acrt_iob_func)(unsigned index);
}

namespace {

FILE* __cdecl StandardStream(const unsigned index) { return &__iob_func()[index]; }

template <typename T>
T* AtRva(const RVA rva) {
  return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(&__ImageBase) + rva);
}

// As Microsoft's helper: an exception no handler can continue from.
[[noreturn]] void DelayLoadFailed(const DWORD error) {
  RaiseException(ERROR_SEVERITY_ERROR | 0x006D0000u /* Visual C++ */ | error,
                 EXCEPTION_NONCONTINUABLE, 0, nullptr);
  __builtin_unreachable();
}

// What the helper returns when the DLL or the function is not there: lld's
// thunk jumps to it as to the function, so the exception is raised from the
// caller's call. Raised inside the helper, it would have to be unwound
// through the thunk, which has no unwind data: Wine's unwinder then takes it
// for a leaf that returns to itself and loops for ever.
[[noreturn]] void ModuleNotFound() { DelayLoadFailed(ERROR_MOD_NOT_FOUND); }
[[noreturn]] void ProcedureNotFound() { DelayLoadFailed(ERROR_PROC_NOT_FOUND); }

}  // namespace

FILE* (*const __imp___acrt_iob_func)(unsigned) = StandardStream;

extern "C" void mainCRTStartup() {
  __set_app_type(1);  // a console program: runtime errors go to stderr
  int argc = 0;
  char** argv = nullptr;
  char** env = nullptr;
  MsvcrtStartupInfo info = {0};
  // No wildcard expansion, as MinGW-w64's start-up code on x64 and x86.
  if (__getmainargs(&argc, &argv, &env, 0, &info) < 0) _amsg_exit(8);  // R6008: no room
  for (void (**constructor)() = __CTOR_LIST__ + 1; *constructor != nullptr; ++constructor) {
    (*constructor)();
  }
  exit(ProgramMain(argc, argv));
}

// Called by the delay-load thunk of the function whose address slot is
// `slot` at its first call: loads the DLL once, finds the function, writes
// its address into the slot for every later call, and returns it. Where
// either is missing, it returns what raises the failure, and every later
// call tries again.
extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC* slot) {
  HMODULE* const module = AtRva<HMODULE>(descriptor->rvaHmod);
  if (*module == nullptr) {
    *module = LoadLibraryA(AtRva<const char>(descriptor->rvaDLLName));
    if (*module == nullptr) return reinterpret_cast<FARPROC>(ModuleNotFound);
  }
  const auto index = slot - AtRva<FARPROC>(descriptor->rvaIAT);
  const ULONGLONG entry = AtRva<const IMAGE_THUNK_DATA>(descriptor->rvaINT)[index].u1.AddressOfData;
  const char* const name =
      (entry & IMAGE_ORDINAL_FLAG64) != 0
          ? reinterpret_cast<const char*>(static_cast<ULONG_PTR>(entry & 0xFFFF))
          : AtRva<const IMAGE_IMPORT_BY_NAME>(static_cast<RVA>(entry))->Name;
  const FARPROC function = GetProcAddress(*module, name);
  if (function == nullptr) return reinterpret_cast<FARPROC>(ProcedureNotFound);
  *slot = function;
  return function;
}
