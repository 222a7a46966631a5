// The built host executable run the way a hostile or careless caller might:
// its output closed or full, thousands of arguments, huge ones, every byte
// value. Each case has its expected outcome, not just "did not crash".
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/host/child_process.h"
#include "tests/host/haltctl_harness.h"

namespace {

struct Outcome {
  int status;
  bool usage;  // the usage text follows the banner
  int flags;   // the request's flags, or -1 for none
};

void ExpectOutcome(const ChildResult& run, const Outcome& expected, const bool checkOut) {
  EXPECT_EQ(run.status, expected.status);
  if (expected.flags < 0) {
    EXPECT_EQ(CountOccurrences(run.err, "ExitWindowsEx("), 0) << run.err;
  } else {
    const bool accepted = expected.status == 0;
    EXPECT_EQ(run.err.rfind(RequestLine(static_cast<unsigned>(expected.flags), accepted), 0), 0u)
        << run.err.substr(0, 200);
    EXPECT_EQ(CountOccurrences(run.err, "ExitWindowsEx("), 1);
  }
  if (!checkOut) return;
  const Output output = SplitBanner(run.out);
  ExpectBanner(output);
  EXPECT_EQ(output.rest, expected.usage ? kUsageText : "");
}

TEST(HostileProcessTest, OutputClosedOrFullChangesNothingButTheOutput) {
  struct Case {
    std::vector<std::string> args;
    const char* user;
    Outcome outcome;
  };
  const Case cases[] = {
      {{"-l"}, nullptr, {0, false, 0}},
      {{"-r"}, "no-privilege", {1, false, 2}},
      {{"-?"}, nullptr, {0, true, -1}},
      {{"x"}, nullptr, {2, true, -1}},
  };
  for (const StdoutMode mode : {kStdoutClosed, kStdoutFull}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(mode == kStdoutClosed ? "closed " : "full ") + c.args[0]);
      const ChildResult run = RunProgram(HALTCTL_BINARY, c.args, c.user, mode);
      ExpectOutcome(run, c.outcome, false);
    }
  }
}

TEST(HostileProcessTest, TenThousandArguments) {
  std::vector<std::string> forced(9999, "-f");
  forced.push_back("-r");
  ExpectOutcome(RunProgram(HALTCTL_BINARY, forced, nullptr), {0, false, 6}, true);

  std::vector<std::string> trailingBad(9999, "-r");
  trailingBad.push_back("x");
  ExpectOutcome(RunProgram(HALTCTL_BINARY, trailingBad, nullptr), {2, true, -1}, true);
}

TEST(HostileProcessTest, OneArgumentOf100KiB) {
  // Linux caps one argument at 128 KiB; the scanner alone is tested with more.
  const std::string ignored = "-" + std::string(100 * 1024, '9') + "p";
  ExpectOutcome(RunProgram(HALTCTL_BINARY, {ignored}, nullptr), {0, false, 8}, true);

  const std::string blanks = "-r" + std::string(100 * 1024, ' ') + "?";
  ExpectOutcome(RunProgram(HALTCTL_BINARY, {blanks}, nullptr), {0, false, 2}, true);
}

TEST(HostileProcessTest, EveryByteValueInArguments) {
  std::vector<std::string> eachByte;
  std::string allInOne = "-";
  for (int b = 1; b <= 255; ++b) {
    const char c = static_cast<char>(b);
    eachByte.push_back(std::string("-") + c);
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (c != '?' && c != ' ' && c != '\t' && (!letter || std::strchr("rshlpf", c))) {
      allInOne += c;
    }
  }
  // "-?" (0x3F) comes before the first letter: help, and no request.
  ExpectOutcome(RunProgram(HALTCTL_BINARY, eachByte, nullptr), {0, true, -1}, true);

  // Without it, "-A" is met first: not understood, nothing requested.
  std::vector<std::string> withoutHelp;
  for (const std::string& arg : eachByte) {
    if (arg != "-?") withoutHelp.push_back(arg);
  }
  ExpectOutcome(RunProgram(HALTCTL_BINARY, withoutHelp, nullptr), {2, true, -1}, true);

  // Every byte that is neither a help mark, a separator nor an unknown
  // letter: all the action letters and force, 1|2|4|8, and a logoff.
  ExpectOutcome(RunProgram(HALTCTL_BINARY, {allInOne}, nullptr), {0, false, 15}, true);
}

}  // namespace
