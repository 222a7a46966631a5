#include "cli/driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/simulated_control.h"
#include "tests/host/child_process.h"
#include "tests/host/haltctl_harness.h"

namespace {

ChildResult RunAs(const std::vector<std::string>& args, const SimulatedUser user) {
  return RunDriver(args, [user] { ResetSimulatedPlatform(user); });
}

TEST(DriverTest, UsageOutcomesPrintBannerThenUsageAndTouchNothing) {
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  // Laid out by hand: each row one group of cases.
  // clang-format off
  const Case cases[] = {
      {{}, 2},          {{"-?"}, 0},      {{"-r?"}, 0},      {{"-r", "-?"}, 0},
      {{"/?"}, 0},      {{"-r", "/?"}, 0}, {{"x", "/?"}, 2},
      {{"/r"}, 2},      {{"r"}, 2},       {{""}, 2},         {{"-"}, 2},
      {{"-x"}, 2},      {{"-r", "x"}, 2}, {{"x", "-?"}, 2},  {{"--", "-R"}, 2},
      // Words are refused whole, never read as the switch letters in them.
      {{"--help"}, 2},  {{"-logoff"}, 2}, {{"-l", "-force"}, 2}, {{"-Rf"}, 2},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& arg : c.args) label += "[" + arg + "]";
    SCOPED_TRACE(label);
    const ChildResult run = RunAs(c.args, kUserAccept);
    const Output output = SplitBanner(run.out);
    ExpectBanner(output);
    EXPECT_EQ(output.rest, kUsageText);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(Summary(run.err),
              "simulated-summary: calls= open=0 invalid-closes=0 pseudo-closes=0 "
              "unflushed-at-request=0\n");
  }
}

TEST(DriverTest, RequestOutcomesPrintBannerOnlyAndReportThePlatformsAnswer) {
  struct Case {
    std::vector<std::string> args;
    SimulatedUser user;
    unsigned flags;
    int status;  // 0 accepted, 1 refused
  };
  // Laid out by hand: one case a line.
  // clang-format off
  const Case cases[] = {
      {{"-r"}, kUserAccept, 0x2, 0},
      {{"-rf"}, kUserAccept, 0x6, 0},
      {{"-r", "-f"}, kUserAccept, 0x6, 0},
      {{"-s"}, kUserAccept, 0x1, 0},
      {{"-pf"}, kUserAccept, 0xC, 0},
      {{"-l"}, kUserAccept, 0x0, 0},
      {{"-r"}, kUserNoPrivilege, 0x2, 1},
      {{"-l"}, kUserNoPrivilege, 0x0, 0},
      {{"-lf"}, kUserRefuse, 0x4, 1},
      {{"-p"}, kUserRefuse, 0x8, 1},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " as user " + std::to_string(c.user));
    const ChildResult run = RunAs(c.args, c.user);
    const Output output = SplitBanner(run.out);
    ExpectBanner(output);
    EXPECT_EQ(output.rest, "");
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err.rfind(RequestLine(c.flags, c.status == 0), 0), 0u) << run.err;
    // The privilege step comes first, whatever it achieves, and leaves no
    // handle behind.
    EXPECT_EQ(Summary(run.err),
              "simulated-summary: calls=GetCurrentThread OpenThreadToken GetLastError "
              "GetCurrentProcess OpenProcessToken LookupPrivilegeValueA "
              "AdjustTokenPrivileges GetLastError CloseHandle ExitWindowsEx "
              "open=0 invalid-closes=0 pseudo-closes=0 unflushed-at-request=0\n")
        << run.err;
  }
}

// The built executable, with the simulated user chosen as a user would.
TEST(HostBinaryTest, EnvironmentChoosesTheSimulatedUser) {
  struct Case {
    const char* user;
    const char* arg;
    int status;
    const char* stderrStart;
  };
  const Case cases[] = {
      {nullptr, "-rf", 0, "simulated: ExitWindowsEx(0x00000006, 0) accepted"},
      {"accept", "-p", 0, "simulated: ExitWindowsEx(0x00000008, 0) accepted"},
      {"no-privilege", "-rf", 1, "simulated: ExitWindowsEx(0x00000006, 0) refused"},
      {"no-privilege", "-lf", 0, "simulated: ExitWindowsEx(0x00000004, 0) accepted"},
      {"refuse", "-l", 1, "simulated: ExitWindowsEx(0x00000000, 0) refused"},
      {"", "-r", 0, "simulated: ExitWindowsEx(0x00000002, 0) accepted"},
      {"bogus", "-l", 1, "simulated: HALTCTL_SIMULATED_PLATFORM must be accept, no-privilege"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user ? c.user : "(unset)") + " " + c.arg);
    const ChildResult run = RunProgram(HALTCTL_BINARY, {c.arg}, c.user);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err.rfind(c.stderrStart, 0), 0u) << run.err;
    // One request line, whatever else was said.
    EXPECT_EQ(CountOccurrences(run.err, "ExitWindowsEx("), 1) << run.err;
    ExpectBanner(SplitBanner(run.out));
    EXPECT_EQ(SplitBanner(run.out).rest, "");
  }
}

TEST(HostBinaryTest, UsageOutcomesPrintUsageAndMakeNoRequest) {
  struct Case {
    const char* arg;
    int status;
  };
  const Case cases[] = {{"-?", 0}, {"/?", 0}, {"--help", 2}, {"--version", 2}, {"-poweroff", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    const ChildResult run = RunProgram(HALTCTL_BINARY, {c.arg}, nullptr);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(SplitBanner(run.out).rest, kUsageText);
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
