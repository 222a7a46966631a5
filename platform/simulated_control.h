// Test-only control of the simulated Windows session. The program never
// includes this header; tests use it to set up a session, make one platform
// call fail, and read back what the program asked of the platform.
#pragma once

#include <string>

#include "platform/win32.h"

#ifdef _WIN32
#error "the simulated platform exists only on non-Windows hosts"
#endif

// The simulated user, as HALTCTL_SIMULATED_PLATFORM chooses it.
enum SimulatedUser {
  kUserAccept,       // holds SeShutdownPrivilege, disabled until enabled
  kUserNoPrivilege,  // lacks SeShutdownPrivilege
  kUserRefuse,       // ExitWindowsEx refuses every request
};

enum SimulatedCall : int {
  kCallGetCurrentThread,
  kCallGetCurrentProcess,
  kCallGetLastError,
  kCallOpenThreadToken,
  kCallOpenProcessToken,
  kCallLookupPrivilegeValueA,
  kCallAdjustTokenPrivileges,
  kCallCloseHandle,
  kCallExitWindowsEx,
  kSimulatedCallKinds,  // how many kinds of call there are: not a call
  kNoCall,              // for FailNextCall: no call is to fail
};

// Starts a fresh session for the user, as a new process would see it,
// without reading the environment.
void ResetSimulatedPlatform(SimulatedUser user);

// Makes the next call of this kind fail (return zero) with the given last
// error, once; kNoCall does nothing. Calls that cannot fail on the real
// platform, and values that name no call, abort the test.
void FailNextCall(SimulatedCall call, DWORD error);

// Gives the calling thread a token of its own (an impersonation token that
// holds SeShutdownPrivilege, disabled), so OpenThreadToken succeeds.
void GiveThreadToken();

// What the program did.
int CountCalls(SimulatedCall call);
int CountOpenHandles();         // token handles opened and not yet closed
int CountInvalidCloses();       // CloseHandle on a handle not open
int CountPseudoHandleCloses();  // CloseHandle on GetCurrentThread/Process
bool IsPrivilegeEnabled(bool threadToken, const char* name);
std::string DescribeCalls();  // the calls in order, e.g. "OpenThreadToken ..."

// Registers an exit handler that writes one line to standard error:
// "simulated-summary: calls=<DescribeCalls> open=N invalid-closes=N
// pseudo-closes=N unflushed-at-request=N", so a test can see what a process
// did even when it ended through exit(). The last is how many bytes of
// standard output were still buffered when ExitWindowsEx was called.
void ReportSimulatedPlatformAtExit();
