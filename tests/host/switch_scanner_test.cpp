#include "cli/switch_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ScanCase {
  std::vector<std::string> args;
  ScanOutcome outcome;
  ExitFlags flags;
};

std::string Show(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += "[" + arg + "]";
  return text;
}

SwitchScan Scan(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return ScanSwitches(static_cast<int>(argv.size()), argv.data());
}

const ScanCase kCases[] = {
    // Each action letter, and force.
    {{"-r"}, kScanRequest, 2},
    {{"-s"}, kScanRequest, 1},
    {{"-h"}, kScanRequest, 1},
    {{"-p"}, kScanRequest, 8},
    {{"-f"}, kScanRequest, 4},
    {{"-l"}, kScanRequest, 0},
    {{"-lf"}, kScanRequest, 4},
    {{"-rf"}, kScanRequest, 6},
    {{"-fr"}, kScanRequest, 6},
    {{"-pf"}, kScanRequest, 12},
    // Letters accumulate over arguments; repeats count once; no combination
    // is rejected.
    {{"-r", "-f"}, kScanRequest, 6},
    {{"-rrr"}, kScanRequest, 2},
    {{"-rs"}, kScanRequest, 3},
    {{"-sp"}, kScanRequest, 9},
    {{"-rl"}, kScanRequest, 2},
    {{"-sh"}, kScanRequest, 1},
    {{"-rshpfl"}, kScanRequest, 15},
    // Dashes, digits, punctuation and bytes above 127 add nothing.
    {{"--r"}, kScanRequest, 2},
    {{"--"}, kScanNotUnderstood, 0},
    {{"-"}, kScanNotUnderstood, 0},
    {{"-", "-", "-"}, kScanNotUnderstood, 0},
    {{"-9.r_"}, kScanRequest, 2},
    {{"-\xE9r\x7F"}, kScanRequest, 2},
    {{"-", "-f"}, kScanRequest, 4},
    // Any other letter, upper case included, makes the arguments not
    // understood: words are never read letter by letter.
    {{"-R"}, kScanNotUnderstood, 0},
    {{"-S"}, kScanNotUnderstood, 0},
    {{"-x"}, kScanNotUnderstood, 0},
    {{"-Rf"}, kScanNotUnderstood, 0},
    {{"-rX"}, kScanNotUnderstood, 0},
    {{"--help"}, kScanNotUnderstood, 0},
    {{"-help"}, kScanNotUnderstood, 0},
    {{"--version"}, kScanNotUnderstood, 0},
    {{"-logoff"}, kScanNotUnderstood, 0},
    {{"-l", "-force"}, kScanNotUnderstood, 0},
    {{"-poweroff"}, kScanNotUnderstood, 0},
    {{"-reboot"}, kScanNotUnderstood, 0},
    {{"-r", "-x"}, kScanNotUnderstood, 0},
    {{"-x", "-?"}, kScanNotUnderstood, 0},
    // A blank or tab ends the argument, not the scan.
    {{"-r f"}, kScanRequest, 2},
    {{"-r\tf"}, kScanRequest, 2},
    {{"- r"}, kScanNotUnderstood, 0},
    {{"-r ?"}, kScanRequest, 2},
    {{"-r x", "-f"}, kScanRequest, 6},
    {{"-r --help"}, kScanRequest, 2},
    // Arguments without a leading dash, wherever they stand.
    {{"/r"}, kScanNotUnderstood, 0},
    {{"r"}, kScanNotUnderstood, 0},
    {{""}, kScanNotUnderstood, 0},
    {{" -r"}, kScanNotUnderstood, 0},
    {{"-r", "x"}, kScanNotUnderstood, 0},
    {{"-r", ""}, kScanNotUnderstood, 0},
    // A question mark anywhere the scan reaches asks for help.
    {{"-?"}, kScanHelp, 0},
    {{"-r?"}, kScanHelp, 0},
    {{"-?r"}, kScanHelp, 0},
    {{"-r", "-?"}, kScanHelp, 0},
    // Where a help mark and an unknown letter meet, the first one decides.
    {{"-?x"}, kScanHelp, 0},
    {{"-x?"}, kScanNotUnderstood, 0},
    // The first argument that calls for the usage text ends the scan.
    {{"x", "-?"}, kScanNotUnderstood, 0},
    {{"-?", "x"}, kScanHelp, 0},
    // "/?" exactly asks for help, as on Windows; any other '/' is no switch.
    {{"/?"}, kScanHelp, 0},
    {{"-r", "/?"}, kScanHelp, 0},
    {{"x", "/?"}, kScanNotUnderstood, 0},
    {{"/?x"}, kScanNotUnderstood, 0},
    {{"/"}, kScanNotUnderstood, 0},
    {{"/h"}, kScanNotUnderstood, 0},
};

TEST(SwitchScannerTest, TableOfArgumentsGivesOutcome) {
  for (const ScanCase& c : kCases) {
    const SwitchScan scan = Scan(c.args);
    EXPECT_EQ(scan.outcome, c.outcome) << Show(c.args);
    if (c.outcome == kScanRequest) {
      EXPECT_EQ(scan.flags, c.flags) << Show(c.args);
    }
  }
}

TEST(SwitchScannerTest, ArgumentsAfterTheDecidingOneAreNeverRead) {
  // A dangling pointer after the deciding argument would crash or be caught
  // by the sanitizers if the scan went on.
  const char* const help[] = {"-r", "-?", nullptr};
  EXPECT_EQ(ScanSwitches(3, help).outcome, kScanHelp);
  const char* const bad[] = {"x", nullptr};
  EXPECT_EQ(ScanSwitches(2, bad).outcome, kScanNotUnderstood);
}

TEST(SwitchScannerTest, OneMebibyteArgumentIsScannedToItsEnd) {
  const std::string huge = "-" + std::string(1 << 20, '9') + "f";
  EXPECT_EQ(Scan({huge}).outcome, kScanRequest);
  EXPECT_EQ(Scan({huge}).flags, 4u);
  EXPECT_EQ(Scan({huge + "?"}).outcome, kScanHelp);
  EXPECT_EQ(Scan({huge + "x"}).outcome, kScanNotUnderstood);
}

}  // namespace
