// A simulated Windows session for hosts that are not Windows. It implements
// the platform calls haltctl makes, with the real platform's results and
// last-error values, and never touches the machine it runs on: a session-end
// request only writes one line to standard error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <stdio_ext.h>

#include "platform/simulated_session.h"
#include "platform/win32.h"

namespace simulated {
namespace {

Session g_session;

}  // namespace

void StartSession(const SimulatedUser user) {
  g_session = Session{};
  g_session.ready = true;
  g_session.user = user;
  // A standard user: SeChangeNotifyPrivilege held and on, and the shutdown
  // privilege held but off until a program enables it.
  g_session.processToken.held[1] = g_session.processToken.enabled[1] = true;
  g_session.processToken.held[kShutdown] = user != kUserNoPrivilege;
  g_session.threadToken = g_session.processToken;
}

Session& CurrentSession() {
  if (g_session.ready) return g_session;
  const char* const choice = std::getenv("HALTCTL_SIMULATED_PLATFORM");
  if (choice == nullptr || choice[0] == '\0' || std::strcmp(choice, "accept") == 0) {
    StartSession(kUserAccept);
  } else if (std::strcmp(choice, "no-privilege") == 0) {
    StartSession(kUserNoPrivilege);
  } else if (std::strcmp(choice, "refuse") == 0) {
    StartSession(kUserRefuse);
  } else {
    StartSession(kUserRefuse);
    std::fprintf(stderr,
                 "simulated: HALTCTL_SIMULATED_PLATFORM must be accept, "
                 "no-privilege or refuse; every request will be refused\n");
  }
  return g_session;
}

}  // namespace simulated

namespace {

using namespace simulated;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

// Records the call and says whether a test asked it to fail; if so the last
// error is already set.
bool EnterCall(const SimulatedCall call) {
  Session& s = CurrentSession();
  ++s.calls[call];
  if (s.logged < kMaxLoggedCalls) s.log[s.logged++] = call;
  if (!s.failNext[call]) return false;
  s.failNext[call] = false;
  s.lastError = s.failError[call];
  return true;
}

BOOL Fail(const DWORD error) {
  g_session.lastError = error;
  return FALSE;
}

HandleSlot* FindOpenHandle(const HANDLE handle) {
  for (HandleSlot& slot : g_session.handles) {
    if (slot.open && handle == &slot) return &slot;
  }
  return nullptr;
}

BOOL OpenToken(Token* const token, const DWORD access, const PHANDLE out) {
  for (HandleSlot& slot : g_session.handles) {
    if (slot.open) continue;
    slot = HandleSlot{true, token, access};
    *out = &slot;
    return TRUE;
  }
  return Fail(ERROR_NOT_ENOUGH_MEMORY);
}

int FindPrivilege(const LUID luid) {
  for (int i = 0; i < kPrivilegeCount; ++i) {
    if (kKnownPrivileges[i].luid.LowPart == luid.LowPart &&
        kKnownPrivileges[i].luid.HighPart == luid.HighPart) {
      return i;
    }
  }
  return -1;
}

// The token the platform checks a request against: the thread's own when
// it has one, else the process token.
const Token& EffectiveToken() {
  return g_session.threadHasToken ? g_session.threadToken : g_session.processToken;
}

// The actions a request word asks for, e.g. "reboot, forcing processes to
// terminate". A fixed buffer, not std::string: the program's own path through
// the simulation needs nothing of the C++ runtime.
struct Actions {
  char text[96];
};

Actions DescribeActions(const UINT flags) {
  Actions actions = {};
  const auto add = [&actions](const char* const word) {
    if (actions.text[0] != '\0') std::strcat(actions.text, " + ");
    std::strcat(actions.text, word);
  };
  if (flags & EWX_SHUTDOWN) add("shutdown");
  if (flags & EWX_REBOOT) add("reboot");
  if (flags & EWX_POWEROFF) add("poweroff");
  if (actions.text[0] == '\0') add("logoff");
  if (flags & EWX_FORCE) std::strcat(actions.text, ", forcing processes to terminate");
  return actions;
}

}  // namespace

HANDLE WINAPI GetCurrentThread() {
  EnterCall(kCallGetCurrentThread);
  return kCurrentThread;
}

HANDLE WINAPI GetCurrentProcess() {
  EnterCall(kCallGetCurrentProcess);
  return kCurrentProcess;
}

DWORD WINAPI GetLastError() {
  EnterCall(kCallGetLastError);
  return g_session.lastError;
}

BOOL WINAPI CloseHandle(const HANDLE handle) {
  if (EnterCall(kCallCloseHandle)) return FALSE;
  // Closing a pseudo-handle is a harmless no-op on the real platform, which
  // is exactly why it goes unnoticed there; count it so tests can see it.
  if (handle == kCurrentThread || handle == kCurrentProcess) {
    ++g_session.pseudoCloses;
    return TRUE;
  }
  HandleSlot* const slot = FindOpenHandle(handle);
  if (slot == nullptr) {
    ++g_session.invalidCloses;
    return Fail(ERROR_INVALID_HANDLE);
  }
  slot->open = false;
  return TRUE;
}

BOOL WINAPI OpenThreadToken(const HANDLE thread, const DWORD access, BOOL, const PHANDLE token) {
  if (EnterCall(kCallOpenThreadToken)) return FALSE;
  if (thread != kCurrentThread || token == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!g_session.threadHasToken) return Fail(ERROR_NO_TOKEN);
  return OpenToken(&g_session.threadToken, access, token);
}

BOOL WINAPI OpenProcessToken(const HANDLE process, const DWORD access, const PHANDLE token) {
  if (EnterCall(kCallOpenProcessToken)) return FALSE;
  if (process != kCurrentProcess || token == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return OpenToken(&g_session.processToken, access, token);
}

BOOL WINAPI LookupPrivilegeValueA(const LPCSTR system, const LPCSTR name, const PLUID luid) {
  if (EnterCall(kCallLookupPrivilegeValueA)) return FALSE;
  if (name == nullptr || luid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  // Only the local system is simulated.
  if (system != nullptr && system[0] != '\0') return Fail(ERROR_INVALID_PARAMETER);
  for (const Privilege& known : kKnownPrivileges) {
    if (std::strcmp(known.name, name) == 0) {
      *luid = known.luid;
      return TRUE;
    }
  }
  return Fail(ERROR_NO_SUCH_PRIVILEGE);
}

BOOL WINAPI AdjustTokenPrivileges(const HANDLE handle, const BOOL disableAll,
                                  const PTOKEN_PRIVILEGES newState, const DWORD bufferLength,
                                  const PTOKEN_PRIVILEGES previousState,
                                  const PDWORD returnLength) {
  if (EnterCall(kCallAdjustTokenPrivileges)) return FALSE;
  HandleSlot* const slot = FindOpenHandle(handle);
  if (slot == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!(slot->access & TOKEN_ADJUST_PRIVILEGES)) return Fail(ERROR_ACCESS_DENIED);
  // Asking for the previous state is not simulated; haltctl never does.
  if (previousState != nullptr || returnLength != nullptr || bufferLength != 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  Token& token = *slot->token;
  if (disableAll) {
    for (bool& enabled : token.enabled) enabled = false;
    g_session.lastError = ERROR_SUCCESS;
    return TRUE;
  }
  if (newState == nullptr) return Fail(ERROR_INVALID_PARAMETER);

  // As on the real platform: privileges the token lacks are skipped, the
  // call still succeeds, and only the last error tells.
  bool allAssigned = true;
  for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& change = newState->Privileges[i];
    const int which = FindPrivilege(change.Luid);
    if (which < 0 || !token.held[which]) {
      allAssigned = false;
      continue;
    }
    token.enabled[which] = (change.Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  g_session.lastError = allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED;
  return TRUE;
}

BOOL WINAPI ExitWindowsEx(const UINT flags, const DWORD reason) {
  const bool injected = EnterCall(kCallExitWindowsEx);
  Session& s = g_session;
  // A forced session end may kill the caller at once: whatever it has not
  // yet written out would be lost.
  s.unflushedAtRequest = static_cast<int>(__fpending(stdout));
  const bool needsPrivilege = (flags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) != 0;

  DWORD error = ERROR_SUCCESS;
  if (injected) {
    error = s.lastError;
  } else if (s.user == kUserRefuse) {
    error = ERROR_ACCESS_DENIED;
  } else if (needsPrivilege && !EffectiveToken().enabled[kShutdown]) {
    error = ERROR_PRIVILEGE_NOT_HELD;
  }

  if (error == ERROR_SUCCESS) {
    std::fprintf(stderr,
                 "simulated: ExitWindowsEx(0x%08X, %u) accepted: %s; "
                 "nothing happens to this machine\n",
                 flags, static_cast<unsigned>(reason), DescribeActions(flags).text);
    return TRUE;
  }
  std::fprintf(stderr,
               "simulated: ExitWindowsEx(0x%08X, %u) refused with error %u: %s; "
               "nothing happens to this machine\n",
               flags, static_cast<unsigned>(reason), static_cast<unsigned>(error),
               DescribeActions(flags).text);
  return Fail(error);
}
