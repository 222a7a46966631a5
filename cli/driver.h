// The whole run of haltctl, from banner to exit status.
#pragma once

// Exit statuses. A refused request must not read as success to a script,
// and a typo must not read as either.
constexpr int kExitOk = 0;             // help asked, or request accepted
constexpr int kExitRefused = 1;        // the platform refused the request
constexpr int kExitNotUnderstood = 2;  // usage shown: nothing usable given

// Prints the banner, scans the switches, enables the shutdown privilege and
// makes the session-end request. Returns the exit status, or ends the
// process through ShowUsage.
int RunHaltctl(int argc, const char* const argv[]);

// Prints the usage text and ends the process with the given status,
// flushing standard output on the way.
[[noreturn]] void ShowUsage(int status);
