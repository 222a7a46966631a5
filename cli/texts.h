// The console texts. Each is printed as a format string with no arguments,
// so none of them may ever hold a '%'.
#pragma once

#ifndef HALTCTL_VERSION
#error "HALTCTL_VERSION must be defined by the build"
#endif

// Kept byte for byte, "WIndows" included: administrators' scripts match it.
constexpr char kBanner[] =
    "Console Shutdown control utility for WIndows NT/2000/XP/.NET, v.1a\n"
    "  haltctl " HALTCTL_VERSION ", (c) 2026 the haltctl developers, MIT License\n";

constexpr char kUsage[] =
    "Usage:\n"
    "  haltctl [-<switches>]\n"
    "Exclusive switches:\n"
    "  r  reboot                      s,h  shutdown\n"
    "  l  logoff                      p    poweroff\n"
    "Optional switch:\n"
    "  f  forces processes to terminate\n";
