#include "tests/host/haltctl_harness.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "cli/driver.h"
#include "expected_texts.h"
#include "platform/simulated_control.h"

// The texts cases.json holds for every build's tests (expected_texts.h).
const char kBannerLine1[] = HALTCTL_BANNER_LINE1;
const char kBannerLine2[] = HALTCTL_BANNER_LINE2;
const char kUsageText[] = HALTCTL_USAGE_TEXT;

Output SplitBanner(const std::string& out) {
  const size_t first = out.find('\n');
  const size_t second = first == std::string::npos ? first : out.find('\n', first + 1);
  if (second == std::string::npos) return {out, "", ""};
  return {out.substr(0, first + 1), out.substr(first + 1, second - first), out.substr(second + 1)};
}

void ExpectBanner(const Output& output) {
  EXPECT_EQ(output.line1, kBannerLine1);
  EXPECT_EQ(output.line2, kBannerLine2);
}

ChildResult RunDriver(const std::vector<std::string>& args, const std::function<void()>& setup) {
  return RunInChild([&args, &setup] {
    setup();
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

std::string RequestLine(const unsigned flags, const bool accepted) {
  char line[64];
  std::snprintf(line, sizeof line, "simulated: ExitWindowsEx(0x%08X, 0) %s", flags,
                accepted ? "accepted" : "refused");
  return line;
}

int CountOccurrences(const std::string& where, const std::string& text) {
  int count = 0;
  for (size_t at = where.find(text); at != std::string::npos;
       at = where.find(text, at + text.size())) {
    ++count;
  }
  return count;
}
