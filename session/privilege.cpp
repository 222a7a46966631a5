#include "session/privilege.h"

#include "platform/win32.h"

namespace {

constexpr DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;

// Opens the thread's own token, falling back to the process token only when
// the thread simply has none; any other failure is an answer in itself.
bool OpenOwnToken(HANDLE* const token) {
  if (OpenThreadToken(GetCurrentThread(), kTokenAccess, TRUE, token)) return true;
  if (GetLastError() != ERROR_NO_TOKEN) return false;
  return OpenProcessToken(GetCurrentProcess(), kTokenAccess, token) != FALSE;
}

// Everything done with the open token; the caller owns it and closes it.
bool ApplyPrivilege(const HANDLE token, const char* const name, const bool enable) {
  TOKEN_PRIVILEGES change = {};
  if (!LookupPrivilegeValueA(nullptr, name, &change.Privileges[0].Luid)) return false;
  change.PrivilegeCount = 1;
  change.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;

  if (!AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr)) return false;
  // A non-zero return also covers a token that does not hold the privilege:
  // the platform then leaves it unchanged and says so only in the last error.
  return GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

}  // namespace

bool EnablePrivilege(const char* const name, const bool enable) {
  HANDLE token = nullptr;
  if (!OpenOwnToken(&token)) return false;

  const bool applied = ApplyPrivilege(token, name, enable);
  const bool closed = CloseHandle(token) != FALSE;
  return applied && closed;
}
