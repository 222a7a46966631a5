// Test-only control of the simulated session: what simulated_control.h
// declares. Kept apart from the platform calls so that the program, which
// links only those, carries none of this.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/simulated_control.h"
#include "platform/simulated_session.h"

using namespace simulated;

namespace {

const char* const kCallNames[kSimulatedCallKinds] = {
    "GetCurrentThread",      "GetCurrentProcess", "GetLastError",
    "OpenThreadToken",       "OpenProcessToken",  "LookupPrivilegeValueA",
    "AdjustTokenPrivileges", "CloseHandle",       "ExitWindowsEx",
};

}  // namespace

void ResetSimulatedPlatform(const SimulatedUser user) { StartSession(user); }

void FailNextCall(const SimulatedCall call, const DWORD error) {
  if (call == kNoCall) return;
  // These cannot fail on the real platform, and the rest are no call at all;
  // asking for either is a test's mistake.
  if (call == kCallGetCurrentThread || call == kCallGetCurrentProcess ||
      call == kCallGetLastError || call < 0 || call >= kSimulatedCallKinds) {
    std::abort();
  }
  Session& s = CurrentSession();
  s.failNext[call] = true;
  s.failError[call] = error;
}

void GiveThreadToken() { CurrentSession().threadHasToken = true; }

int CountCalls(const SimulatedCall call) {
  if (call < 0 || call >= kSimulatedCallKinds) std::abort();
  return CurrentSession().calls[call];
}

int CountOpenHandles() {
  int open = 0;
  for (const HandleSlot& slot : CurrentSession().handles) open += slot.open ? 1 : 0;
  return open;
}

int CountInvalidCloses() { return CurrentSession().invalidCloses; }

int CountPseudoHandleCloses() { return CurrentSession().pseudoCloses; }

bool IsPrivilegeEnabled(const bool threadToken, const char* const name) {
  const Session& s = CurrentSession();
  const Token& token = threadToken ? s.threadToken : s.processToken;
  for (int i = 0; i < kPrivilegeCount; ++i) {
    if (std::strcmp(kKnownPrivileges[i].name, name) == 0) return token.enabled[i];
  }
  return false;
}

std::string DescribeCalls() {
  const Session& s = CurrentSession();
  std::string text;
  for (int i = 0; i < s.logged; ++i) {
    if (i > 0) text += ' ';
    text += kCallNames[s.log[i]];
  }
  return text;
}

void ReportSimulatedPlatformAtExit() {
  std::atexit([] {
    std::fprintf(stderr,
                 "simulated-summary: calls=%s open=%d invalid-closes=%d pseudo-closes=%d "
                 "unflushed-at-request=%d\n",
                 DescribeCalls().c_str(), CountOpenHandles(), CountInvalidCloses(),
                 CountPseudoHandleCloses(), CurrentSession().unflushedAtRequest);
  });
}
