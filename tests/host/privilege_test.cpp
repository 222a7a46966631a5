#include "session/privilege.h"

#include <gtest/gtest.h>

#include "platform/simulated_control.h"

namespace {

constexpr char kShutdown[] = "SeShutdownPrivilege";
constexpr char kChangeNotify[] = "SeChangeNotifyPrivilege";

// Whatever path EnablePrivilege took, a token it opened is closed exactly
// once and the current thread and process pseudo-handles are left alone.
void ExpectHandlesClean(const int opened) {
  EXPECT_EQ(CountOpenHandles(), 0) << DescribeCalls();
  EXPECT_EQ(CountInvalidCloses(), 0) << DescribeCalls();
  EXPECT_EQ(CountPseudoHandleCloses(), 0) << DescribeCalls();
  EXPECT_EQ(CountCalls(kCallCloseHandle), opened) << DescribeCalls();
}

TEST(EnablePrivilegeTest, ThreadWithoutTokenFallsBackToProcessToken) {
  ResetSimulatedPlatform(kUserAccept);
  EXPECT_TRUE(EnablePrivilege(kShutdown, true));
  EXPECT_TRUE(IsPrivilegeEnabled(false, kShutdown));
  EXPECT_EQ(CountCalls(kCallOpenProcessToken), 1);
  ExpectHandlesClean(1);
}

TEST(EnablePrivilegeTest, ThreadWithOwnTokenAdjustsThatToken) {
  ResetSimulatedPlatform(kUserAccept);
  GiveThreadToken();
  EXPECT_TRUE(EnablePrivilege(kShutdown, true));
  EXPECT_TRUE(IsPrivilegeEnabled(true, kShutdown));
  EXPECT_FALSE(IsPrivilegeEnabled(false, kShutdown));
  EXPECT_EQ(CountCalls(kCallOpenProcessToken), 0);
  ExpectHandlesClean(1);
}

TEST(EnablePrivilegeTest, DisablingSwitchesOffOnlyTheNamedPrivilege) {
  ResetSimulatedPlatform(kUserAccept);
  ASSERT_TRUE(EnablePrivilege(kShutdown, true));
  ASSERT_TRUE(IsPrivilegeEnabled(false, kChangeNotify));
  EXPECT_TRUE(EnablePrivilege(kShutdown, false));
  EXPECT_FALSE(IsPrivilegeEnabled(false, kShutdown));
  EXPECT_TRUE(IsPrivilegeEnabled(false, kChangeNotify));
  ExpectHandlesClean(2);
}

struct FailureCase {
  const char* what;
  SimulatedUser user;
  SimulatedCall failing;
  DWORD error;
  const char* name;
  int tokensOpened;
  int processTokenOpens;
};

// Every way EnablePrivilege can fail: it reports false, and a token it
// opened is closed exactly once.
const FailureCase kFailures[] = {
    {"thread token refused for another reason", kUserAccept, kCallOpenThreadToken,
     ERROR_ACCESS_DENIED, kShutdown, 0, 0},
    {"process token cannot be opened", kUserAccept, kCallOpenProcessToken, ERROR_ACCESS_DENIED,
     kShutdown, 0, 1},
    {"name unknown to the system", kUserAccept, kNoCall, 0, "SeNoSuchPrivilege", 1, 1},
    {"lookup fails", kUserAccept, kCallLookupPrivilegeValueA, ERROR_NOT_ENOUGH_MEMORY, kShutdown, 1,
     1},
    {"adjust returns zero", kUserAccept, kCallAdjustTokenPrivileges, ERROR_ACCESS_DENIED, kShutdown,
     1, 1},
    {"token lacks the privilege", kUserNoPrivilege, kNoCall, 0, kShutdown, 1, 1},
    {"close fails", kUserAccept, kCallCloseHandle, ERROR_INVALID_HANDLE, kShutdown, 1, 1},
};

TEST(EnablePrivilegeTest, EveryFailureReportsFalseAndLeavesNothingOpen) {
  for (const FailureCase& c : kFailures) {
    SCOPED_TRACE(c.what);
    ResetSimulatedPlatform(c.user);
    FailNextCall(c.failing, c.error);
    EXPECT_FALSE(EnablePrivilege(c.name, true)) << DescribeCalls();
    EXPECT_EQ(CountCalls(kCallOpenProcessToken), c.processTokenOpens) << DescribeCalls();
    // A close the platform reported as failed still counts as the one close.
    if (c.failing == kCallCloseHandle) {
      EXPECT_EQ(CountCalls(kCallCloseHandle), 1);
    } else {
      EXPECT_FALSE(IsPrivilegeEnabled(false, kShutdown));
      ExpectHandlesClean(c.tokensOpened);
    }
  }
}

}  // namespace
