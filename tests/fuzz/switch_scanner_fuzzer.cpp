// libFuzzer target for ScanSwitches. The input is split on NUL bytes into an
// argument vector (any other byte allowed), each argument in an allocation of
// its exact size so that the sanitizers catch a read past its end. It checks
// properties the scanner must have, not a second copy of the scanner.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/switch_scanner.h"

namespace {

constexpr size_t kMaxArgs = 4096;

struct Args {
  std::vector<std::unique_ptr<char[]>> storage;
  std::vector<const char*> pointers;
};

Args MakeArgs(const std::vector<std::string>& args) {
  Args made;
  for (const std::string& arg : args) {
    std::unique_ptr<char[]> copy(new char[arg.size() + 1]);
    std::memcpy(copy.get(), arg.c_str(), arg.size() + 1);
    made.pointers.push_back(copy.get());
    made.storage.push_back(std::move(copy));
  }
  return made;
}

SwitchScan Scan(const std::vector<std::string>& args) {
  const Args made = MakeArgs(args);
  return ScanSwitches(static_cast<int>(made.pointers.size()), made.pointers.data());
}

bool Same(const SwitchScan& a, const SwitchScan& b) {
  return a.outcome == b.outcome && (a.outcome != kScanRequest || a.flags == b.flags);
}

void Check(const bool holds) {
  if (!holds) std::abort();
}

constexpr char kOtherLetters[] = "abcdegijkmnoqtuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// The part of an argument that counts: up to its first blank or tab.
std::string Counted(const std::string& arg) { return arg.substr(0, arg.find_first_of(" \t")); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, const size_t size) {
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != 0) {
      args.back() += static_cast<char>(data[i]);
    } else if (args.size() < kMaxArgs) {
      args.emplace_back();
    }
  }

  const SwitchScan scan = Scan(args);

  // The request word holds no bit beyond shutdown, reboot, force, poweroff.
  if (scan.outcome == kScanRequest) Check((scan.flags & ~ExitFlags{0xF}) == 0);

  // A request comes back exactly when every argument is a switch argument
  // without a help mark or a letter that is no switch, and some argument
  // names an action.
  bool allSwitches = true;
  bool namesAction = false;
  for (const std::string& arg : args) {
    const std::string counted = Counted(arg);
    allSwitches = allSwitches && !arg.empty() && arg[0] == '-' &&
                  counted.find('?') == std::string::npos &&
                  counted.find_first_of(kOtherLetters) == std::string::npos;
    namesAction = namesAction || counted.find_first_of("rshpfl", 1) != std::string::npos;
  }
  Check((scan.outcome == kScanRequest) == (allSwitches && namesAction));

  // A request does not depend on the order of its arguments.
  if (scan.outcome == kScanRequest && args.size() > 1) {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    Check(Same(Scan(reversed), scan));
  }

  // Repeating an argument in place changes nothing, whatever the outcome.
  std::vector<std::string> repeated = args;
  const size_t which = size % args.size();
  repeated.insert(repeated.begin() + static_cast<std::ptrdiff_t>(which), args[which]);
  Check(Same(Scan(repeated), scan));

  // Whatever follows a blank or tab is ignored, even a help mark or a
  // letter, known or not.
  std::vector<std::string> tails = args;
  bool changed = false;
  for (std::string& arg : tails) {
    const size_t end = arg.find_first_of(" \t");
    if (end == std::string::npos) continue;
    arg = arg.substr(0, end + 1) + "?rX" + arg.substr(end + 1);
    changed = true;
  }
  if (changed) Check(Same(Scan(tails), scan));
  return 0;
}
