// Runs code or a program in a child process and collects what it wrote and
// how it ended, so that paths which end the process can be tested.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct ChildResult {
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
  int status;       // exit status, or -1 if the child did not exit normally
};

// Forks; the child runs body and exits with its result through exit(), so
// exit handlers run as they would in a real process.
ChildResult RunInChild(const std::function<int()>& body);

// Where a program's standard output goes.
enum StdoutMode {
  kStdoutPipe,    // collected in ChildResult::out
  kStdoutClosed,  // as with >&-
  kStdoutFull,    // /dev/full: every write fails with ENOSPC
};

// Runs a program with the given arguments (after its own name). A null
// simulatedUser leaves HALTCTL_SIMULATED_PLATFORM unset.
ChildResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                       const char* simulatedUser, StdoutMode mode = kStdoutPipe);
