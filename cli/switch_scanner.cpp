#include "cli/switch_scanner.h"

#include "platform/win32.h"

namespace {

bool IsAsciiLetter(const char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

SwitchScan ScanSwitches(const int count, const char* const args[]) {
  ExitFlags flags = 0;
  bool logoff = false;

  for (int i = 0; i < count; ++i) {
    const char* const arg = args[i];
    // "/?" is how Windows users ask for help; any other '/' is not a switch.
    if (arg[0] == '/' && arg[1] == '?' && arg[2] == '\0') return {kScanHelp, 0};
    if (arg[0] != '-') return {kScanNotUnderstood, 0};

    // A blank or tab ends this argument: whatever follows it is not a switch.
    for (const char* c = arg + 1; *c != '\0' && *c != ' ' && *c != '\t'; ++c) {
      switch (*c) {
        case 'r': flags |= EWX_REBOOT; break;
        case 's':
        case 'h': flags |= EWX_SHUTDOWN; break;
        case 'p': flags |= EWX_POWEROFF; break;
        case 'f': flags |= EWX_FORCE; break;
        case 'l': logoff = true; break;
        case '?': return {kScanHelp, 0};
        default:
          // A letter that is no switch means a word such as --help or
          // -logoff: reading it letter by letter could end the session.
          if (IsAsciiLetter(*c)) return {kScanNotUnderstood, 0};
          break;  // digits, dashes, other punctuation, bytes above 127
      }
    }
  }

  // EWX_LOGOFF adds no bit, so a logoff is told apart from "nothing named"
  // only by having seen the letter.
  if (flags == 0 && !logoff) return {kScanNotUnderstood, 0};
  return {kScanRequest, flags};
}
