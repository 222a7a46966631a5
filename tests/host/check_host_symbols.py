#!/usr/bin/env python3
"""Fails if the host build of haltctl could end this machine's session: if
the linked executable refers to any way of rebooting, signalling or starting
another process, or links a D-Bus or login-manager library.

    check_host_symbols.py EXECUTABLE
"""
import os
import re
import subprocess
import sys

# The tools' own words are read ("Shared library"), which other locales
# translate, LANGUAGE even under C.UTF-8.
UNTRANSLATED = dict({k: v for k, v in os.environ.items() if k != "LANGUAGE"},
                    LC_ALL="C.UTF-8")

FORBIDDEN_SYMBOLS = {
    "reboot", "kill", "killpg", "tgkill", "tkill", "sigqueue", "raise_signal",
    "system", "popen", "fork", "vfork", "clone", "clone3", "daemon",
    "execl", "execle", "execlp", "execv", "execve", "execvp", "execvpe", "fexecve", "execveat",
    "posix_spawn", "posix_spawnp", "syscall",
}
FORBIDDEN_PREFIXES = ("sd_bus", "sd_login", "dbus_", "g_dbus", "polkit_")
FORBIDDEN_LIBRARIES = ("libdbus", "libsystemd", "libelogind", "libgio", "libpolkit")


def main():
    exe = sys.argv[1]
    symbols = subprocess.run(["nm", "-D", "--undefined-only", exe], check=True,
                             capture_output=True, text=True, env=UNTRANSLATED).stdout
    dynamic = subprocess.run(["readelf", "-d", exe], check=True, capture_output=True,
                             text=True, env=UNTRANSLATED).stdout
    names = [line.split()[-1].split("@")[0] for line in symbols.splitlines() if line.strip()]
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)

    bad = sorted(n for n in names
                 if n in FORBIDDEN_SYMBOLS or n.startswith(FORBIDDEN_PREFIXES))
    bad_libraries = sorted(library for library in needed
                           if library.startswith(FORBIDDEN_LIBRARIES))
    print("%s: %d undefined symbols, libraries %s" % (exe, len(names), " ".join(needed)))
    if not names or not needed:
        print("FAIL: no undefined symbols or no needed library read: not a dynamically "
              "linked executable, or readelf's words changed?")
        return 1
    for name in bad:
        print("FAIL: refers to %s" % name)
    for library in bad_libraries:
        print("FAIL: links %s" % library)
    # Loading and relocating libstdc++ would cost every start ten times the
    # program's own work; what it needs of the C++ runtime is linked in.
    loads_cxx_runtime = [library for library in needed if library.startswith("libstdc++")]
    if loads_cxx_runtime:
        print("FAIL: loads %s at every start" % loads_cxx_runtime[0])
    return 1 if bad or bad_libraries or loads_cxx_runtime else 0


if __name__ == "__main__":
    sys.exit(main())
