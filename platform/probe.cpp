// The probe build's stand-in for the session-end request. Everything before
// it ran for real: the switches were scanned and the shutdown privilege was
// enabled, or not, in the real token. This prints the request and what that
// token now says about the privilege, and makes no request: nothing is
// ended, whatever the account. Built only with HALTCTL_PROBE, never into a
// release.
#include <stdio.h>

#include "platform/win32.h"

namespace {

// The token the platform would judge the request by: the thread's own if
// it has one, else the process token.
bool OpenEffectiveToken(HANDLE* const token) {
  if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token)) return true;
  if (GetLastError() != ERROR_NO_TOKEN) return false;
  return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token) != FALSE;
}

// Whether the token holds SeShutdownPrivilege and has it enabled. A token
// that cannot be read counts as not enabled.
bool ShutdownPrivilegeEnabled(const HANDLE token) {
  LUID shutdown = {};
  if (!LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &shutdown)) return false;
  // Room for every privilege Windows defines, and more.
  DWORD buffer[1 + 3 * 64] = {};
  DWORD length = 0;
  if (!GetTokenInformation(token, TokenPrivileges, buffer, sizeof buffer, &length)) return false;
  const TOKEN_PRIVILEGES* const held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer);
  for (DWORD i = 0; i < held->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES entry = held->Privileges[i];
    if (entry.Luid.LowPart == shutdown.LowPart && entry.Luid.HighPart == shutdown.HighPart) {
      return (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  return false;
}

}  // namespace

BOOL WINAPI RecordExitWindowsEx(const UINT flags, const DWORD reserved) {
  HANDLE token = nullptr;
  bool enabled = false;
  if (OpenEffectiveToken(&token)) {
    enabled = ShutdownPrivilegeEnabled(token);
    CloseHandle(token);
  }
  printf("probe: flags %u reserved %lu recorded, not requested; SeShutdownPrivilege %s\n", flags,
         static_cast<unsigned long>(reserved), enabled ? "enabled" : "not enabled");
  fflush(stdout);
  return TRUE;
}
