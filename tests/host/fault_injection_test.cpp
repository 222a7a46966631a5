// Every platform call the driver and the privilege step make, failing in
// turn: the exit status, the banner alone on standard output, the request
// still made, and the token handle closed exactly once whenever it was
// opened, with no pseudo-handle closed and nothing left open at exit.
#include <gtest/gtest.h>

#include <string>

#include "platform/simulated_control.h"
#include "tests/host/haltctl_harness.h"

namespace {

struct Fault {
  const char* what;
  bool threadToken;  // the thread runs under a token of its own
  SimulatedUser user;
  SimulatedCall failing;
  DWORD error;
  int tokensOpened;       // so CloseHandle is called exactly this often
  int leftOpen;           // what the platform still holds at exit
  bool privilegeEnabled;  // in the token a shutdown is checked against: the
                          // thread's own if it has one, else the process's
};

const Fault kFaults[] = {
    {"no fault", false, kUserAccept, kNoCall, 0, 1, 0, true},
    {"OpenThreadToken: access denied", false, kUserAccept, kCallOpenThreadToken,
     ERROR_ACCESS_DENIED, 0, 0, false},
    {"OpenProcessToken fails", false, kUserAccept, kCallOpenProcessToken, ERROR_ACCESS_DENIED, 0, 0,
     false},
    {"LookupPrivilegeValueA fails", false, kUserAccept, kCallLookupPrivilegeValueA,
     ERROR_NO_SUCH_PRIVILEGE, 1, 0, false},
    {"AdjustTokenPrivileges returns zero", false, kUserAccept, kCallAdjustTokenPrivileges,
     ERROR_ACCESS_DENIED, 1, 0, false},
    {"AdjustTokenPrivileges: not all assigned", false, kUserNoPrivilege, kNoCall, 0, 1, 0, false},
    // The platform refused the close; trying again could close a handle that
    // by now belongs to something else, so the one call is all there is.
    {"CloseHandle fails", false, kUserAccept, kCallCloseHandle, ERROR_INVALID_HANDLE, 1, 1, true},
    {"ExitWindowsEx fails", false, kUserAccept, kCallExitWindowsEx, ERROR_NOT_ENOUGH_MEMORY, 1, 0,
     true},
    // With a thread token, the thread's token is the one adjusted, and the
    // one the platform checks.
    {"thread token", true, kUserAccept, kNoCall, 0, 1, 0, true},
    // Told wrongly that the thread has none, the program adjusts the process
    // token, which is not the one checked.
    {"OpenThreadToken: no token", true, kUserAccept, kCallOpenThreadToken, ERROR_NO_TOKEN, 1, 0,
     false},
    {"thread token: lookup fails", true, kUserAccept, kCallLookupPrivilegeValueA,
     ERROR_NO_SUCH_PRIVILEGE, 1, 0, false},
    {"thread token: adjust fails", true, kUserAccept, kCallAdjustTokenPrivileges,
     ERROR_ACCESS_DENIED, 1, 0, false},
    {"thread token: CloseHandle fails", true, kUserAccept, kCallCloseHandle, ERROR_INVALID_HANDLE,
     1, 1, true},
};

struct Request {
  const char* arg;
  unsigned flags;
  bool needsPrivilege;
};

const Request kRequests[] = {
    {"-r", 2, true},
    {"-lf", 4, false},
};

TEST(FaultInjectionTest, EachFailingCallLeavesStatusOutputAndHandlesRight) {
  for (const Fault& fault : kFaults) {
    for (const Request& request : kRequests) {
      SCOPED_TRACE(std::string(fault.what) + ", " + request.arg);
      const ChildResult run = RunDriver({request.arg}, [&fault] {
        ResetSimulatedPlatform(fault.user);
        if (fault.threadToken) GiveThreadToken();
        FailNextCall(fault.failing, fault.error);
      });

      const bool accepted = fault.failing != kCallExitWindowsEx &&
                            (fault.privilegeEnabled || !request.needsPrivilege);
      EXPECT_EQ(run.status, accepted ? 0 : 1);

      const Output output = SplitBanner(run.out);
      ExpectBanner(output);
      EXPECT_EQ(output.rest, "");

      // The request is made, once, whatever the privilege step did.
      EXPECT_EQ(CountOccurrences(run.err, "ExitWindowsEx("), 1) << run.err;
      EXPECT_EQ(run.err.rfind(RequestLine(request.flags, accepted), 0), 0u) << run.err;

      const std::string summary = Summary(run.err);
      EXPECT_EQ(CountOccurrences(summary, "CloseHandle"), fault.tokensOpened) << summary;
      EXPECT_NE(summary.find(" open=" + std::to_string(fault.leftOpen) +
                             " invalid-closes=0 pseudo-closes=0 unflushed-at-request=0\n"),
                std::string::npos)
          << summary;
    }
  }
}

}  // namespace

namespace {

TEST(FaultInjectionTest, AValueThatNamesNoCallIsRefused) {
  ResetSimulatedPlatform(kUserAccept);
  EXPECT_DEATH(FailNextCall(kSimulatedCallKinds, ERROR_ACCESS_DENIED), "");
  EXPECT_DEATH(FailNextCall(static_cast<SimulatedCall>(-1), ERROR_ACCESS_DENIED), "");
}

}  // namespace
