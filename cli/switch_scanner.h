// Turns haltctl's switch arguments into one session-end request word.
#pragma once

#include <cstdint>

// The request word handed to ExitWindowsEx: EWX_SHUTDOWN, EWX_REBOOT,
// EWX_FORCE and EWX_POWEROFF OR-ed together; EWX_LOGOFF is 0.
typedef std::uint32_t ExitFlags;

enum ScanOutcome {
  kScanRequest,        // the arguments name a request: see flags
  kScanHelp,           // a '?' was reached, or "/?": show the usage text, status 0
  kScanNotUnderstood,  // no leading '-', a letter that is no switch, or no action
};

struct SwitchScan {
  ScanOutcome outcome;
  ExitFlags flags;  // meaningful only when outcome is kScanRequest
};

// Scans the arguments after the program's own name (count >= 1), in order.
// The first argument that calls for the usage text ends the scan, so later
// arguments are never looked at. Pure: prints nothing, ends nothing.
SwitchScan ScanSwitches(int count, const char* const args[]);
