#include "cli/driver.h"

// The C headers, not <cstdio>: on MinGW-w64 any libstdc++ header swaps
// msvcrt's printf for MinGW's own, which nearly triples the executable and
// adds nothing for constant texts. <stdio.h> must come before <stdlib.h>,
// whose libstdc++ wrapper would do the same.
#include <stdio.h>
#include <stdlib.h>

#include "cli/switch_scanner.h"
#include "cli/texts.h"
#include "platform/win32.h"
#include "session/privilege.h"

void ShowUsage(const int status) {
  printf(kUsage);
  exit(status);
}

int RunHaltctl(const int argc, const char* const argv[]) {
  printf(kBanner);
  // Nothing asked is not success: a script's unset variable must not read
  // as a request that was made.
  if (argc < 2) ShowUsage(kExitNotUnderstood);

  const SwitchScan scan = ScanSwitches(argc - 1, argv + 1);
  if (scan.outcome == kScanHelp) ShowUsage(kExitOk);
  if (scan.outcome == kScanNotUnderstood) ShowUsage(kExitNotUnderstood);

  // A forced session end may kill this process before it exits; the banner
  // must not die with it in a redirected, fully buffered stdout.
  fflush(stdout);

  // Without the privilege the platform may still accept the request (a
  // logoff needs none), so its absence is left for the platform to judge.
  EnablePrivilege("SeShutdownPrivilege", true);

  if (!ExitWindowsEx(scan.flags, 0)) return kExitRefused;
  return kExitOk;
}
