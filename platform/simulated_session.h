// The simulated session's state, shared by the simulated platform calls and
// the tests' control of them. Neither the program nor its tests include this;
// tests use simulated_control.h.
#pragma once

#include "platform/simulated_control.h"
#include "platform/win32.h"

namespace simulated {

struct Privilege {
  const char* name;
  LUID luid;
};

// The privileges the simulated system knows, with the LUIDs Windows uses.
inline constexpr Privilege kKnownPrivileges[] = {
    {"SeShutdownPrivilege", {19, 0}},
    {"SeChangeNotifyPrivilege", {23, 0}},
};
inline constexpr int kPrivilegeCount = sizeof kKnownPrivileges / sizeof kKnownPrivileges[0];
inline constexpr int kShutdown = 0;

struct Token {
  bool held[kPrivilegeCount];
  bool enabled[kPrivilegeCount];
};

struct HandleSlot {
  bool open;
  Token* token;
  DWORD access;
};

inline constexpr int kMaxHandles = 16;
inline constexpr int kMaxLoggedCalls = 64;

struct Session {
  bool ready;
  SimulatedUser user;
  DWORD lastError;
  Token processToken;
  Token threadToken;
  bool threadHasToken;
  HandleSlot handles[kMaxHandles];
  bool failNext[kSimulatedCallKinds];
  DWORD failError[kSimulatedCallKinds];
  int calls[kSimulatedCallKinds];
  SimulatedCall log[kMaxLoggedCalls];
  int logged;
  int invalidCloses;
  int pseudoCloses;
  int unflushedAtRequest;
};

// The session of this process, started on first use as
// HALTCTL_SIMULATED_PLATFORM says.
Session& CurrentSession();

// Starts a fresh session for the user.
void StartSession(SimulatedUser user);

}  // namespace simulated
