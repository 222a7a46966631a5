#include "cli/driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/simulated_control.h"
#include "tests/child_process.h"

namespace {

const std::string kBannerLine1 =
    "Console Shutdown control utility for WIndows NT/2000/XP/.NET, v.1a\n";

const std::string kUsageText =
    "Usage:\n"
    "  haltctl [-<switches>]\n"
    "Exclusive switches:\n"
    "  r  reboot                      s,h  shutdown\n"
    "  l  logoff                      p    poweroff\n"
    "Optional switch:\n"
    "  f  forces processes to terminate\n";

// Splits standard output into banner line 1, banner line 2 and the rest.
struct Output {
  std::string line1;
  std::string line2;
  std::string rest;
};

Output SplitBanner(const std::string& out) {
  const size_t first = out.find('\n');
  const size_t second = first == std::string::npos ? first : out.find('\n', first + 1);
  if (second == std::string::npos) return {out, "", ""};
  return {out.substr(0, first + 1), out.substr(first + 1, second - first),
          out.substr(second + 1)};
}

void ExpectBanner(const Output& output) {
  EXPECT_EQ(output.line1, kBannerLine1);
  EXPECT_EQ(output.line2.rfind("  ", 0), 0u) << output.line2;
  EXPECT_GT(output.line2.size(), 3u) << output.line2;
}

ChildResult RunDriver(const std::vector<std::string>& args, const SimulatedUser user) {
  return RunInChild([&args, user] {
    ResetSimulatedPlatform(user);
    ReportSimulatedPlatformAtExit();
    std::vector<const char*> argv{"haltctl"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    return RunHaltctl(static_cast<int>(argv.size()), argv.data());
  });
}

std::string Summary(const std::string& err) {
  const size_t at = err.find("simulated-summary: ");
  return at == std::string::npos ? "" : err.substr(at);
}

std::string RequestLine(const char* flags) {
  return std::string("simulated: ExitWindowsEx(") + flags + ", 0) ";
}

TEST(DriverTest, UsageOutcomesPrintBannerThenUsageAndTouchNothing) {
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {{}, 0},          {{"-?"}, 0},      {{"-r?"}, 0},      {{"-r", "-?"}, 0},
      {{"/r"}, 2},      {{"r"}, 2},       {{""}, 2},         {{"-"}, 2},
      {{"-x"}, 2},      {{"-r", "x"}, 2}, {{"x", "-?"}, 2},  {{"--", "-R"}, 2},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& arg : c.args) label += "[" + arg + "]";
    SCOPED_TRACE(label);
    const ChildResult run = RunDriver(c.args, kUserAccept);
    const Output output = SplitBanner(run.out);
    ExpectBanner(output);
    EXPECT_EQ(output.rest, kUsageText);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(Summary(run.err),
              "simulated-summary: calls= open=0 invalid-closes=0 pseudo-closes=0\n");
  }
}

TEST(DriverTest, RequestOutcomesPrintBannerOnlyAndReportThePlatformsAnswer) {
  struct Case {
    std::vector<std::string> args;
    SimulatedUser user;
    const char* flags;
    const char* answer;
    int status;
  };
  const Case cases[] = {
      {{"-r"}, kUserAccept, "0x00000002", "accepted", 0},
      {{"-rf"}, kUserAccept, "0x00000006", "accepted", 0},
      {{"-r", "-f"}, kUserAccept, "0x00000006", "accepted", 0},
      {{"-s"}, kUserAccept, "0x00000001", "accepted", 0},
      {{"-pf"}, kUserAccept, "0x0000000C", "accepted", 0},
      {{"-l"}, kUserAccept, "0x00000000", "accepted", 0},
      {{"-r"}, kUserNoPrivilege, "0x00000002", "refused", 1},
      {{"-l"}, kUserNoPrivilege, "0x00000000", "accepted", 0},
      {{"-lf"}, kUserRefuse, "0x00000004", "refused", 1},
      {{"-p"}, kUserRefuse, "0x00000008", "refused", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " as user " + std::to_string(c.user));
    const ChildResult run = RunDriver(c.args, c.user);
    const Output output = SplitBanner(run.out);
    ExpectBanner(output);
    EXPECT_EQ(output.rest, "");
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err.rfind(RequestLine(c.flags) + c.answer, 0), 0u) << run.err;
    // The privilege step comes first, whatever it achieves, and leaves no
    // handle behind.
    EXPECT_EQ(Summary(run.err),
              "simulated-summary: calls=GetCurrentThread OpenThreadToken GetLastError "
              "GetCurrentProcess OpenProcessToken LookupPrivilegeValueA "
              "AdjustTokenPrivileges GetLastError CloseHandle ExitWindowsEx "
              "open=0 invalid-closes=0 pseudo-closes=0\n")
        << run.err;
  }
}

TEST(DriverTest, RequestIsMadeWhenThePrivilegeStepFails) {
  const ChildResult run = RunInChild([] {
    ResetSimulatedPlatform(kUserAccept);
    FailNextCall(kCallOpenProcessToken, ERROR_ACCESS_DENIED);
    const char* const argv[] = {"haltctl", "-l"};
    return RunHaltctl(2, argv);
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err.rfind(RequestLine("0x00000000") + "accepted", 0), 0u) << run.err;
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
      {"bogus", "-l", 1, "simulated: HALTCTL_SIMULATED_PLATFORM must be accept, no-privilege"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user ? c.user : "(unset)") + " " + c.arg);
    const ChildResult run = RunProgram(HALTCTL_BINARY, {c.arg}, c.user);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err.rfind(c.stderrStart, 0), 0u) << run.err;
    // One request line, whatever else was said.
    size_t lines = 0;
    for (size_t at = run.err.find("ExitWindowsEx("); at != std::string::npos;
         at = run.err.find("ExitWindowsEx(", at + 1)) {
      ++lines;
    }
    EXPECT_EQ(lines, 1u) << run.err;
    ExpectBanner(SplitBanner(run.out));
    EXPECT_EQ(SplitBanner(run.out).rest, "");
  }
}

TEST(HostBinaryTest, HelpPrintsUsageAndMakesNoRequest) {
  const ChildResult run = RunProgram(HALTCTL_BINARY, {"-?"}, nullptr);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(SplitBanner(run.out).rest, kUsageText);
  EXPECT_EQ(run.err, "");
}

}  // namespace
