// Runs haltctl's driver in a child process over the simulated platform and
// splits what it printed, for tests that check whole runs.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/host/child_process.h"

extern const char kBannerLine1[];
extern const char kBannerLine2[];
extern const char kUsageText[];

struct Output {
  std::string line1;
  std::string line2;
  std::string rest;  // everything after the banner's two lines
};

Output SplitBanner(const std::string& out);

// Both banner lines, exactly.
void ExpectBanner(const Output& output);

// Runs RunHaltctl("haltctl", args...) in a child whose simulated session is
// prepared by setup; the child reports the platform's summary at exit.
ChildResult RunDriver(const std::vector<std::string>& args, const std::function<void()>& setup);

// The "simulated-summary: ..." line the child wrote at exit, or "".
std::string Summary(const std::string& err);

// The start of the simulated platform's line for one session-end request,
// e.g. "simulated: ExitWindowsEx(0x00000006, 0) accepted".
std::string RequestLine(unsigned flags, bool accepted);

// How many times text occurs in where.
int CountOccurrences(const std::string& where, const std::string& text);
