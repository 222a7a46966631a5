#!/usr/bin/env python3
"""Checks a built haltctl.exe without running it: a stripped console program
for the right Windows version that imports nothing but system DLLs and stays
small. Reads the PE header through MinGW-w64's objdump.

    check_executable.py OBJDUMP EXE x64|x86
"""
import os
import re
import subprocess
import sys

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}
MAX_SIZE = 64 * 1024
EXPECTED = {  # magic, subsystem version
    "x64": ("020b", (5, 2)),
    "x86": ("010b", (4, 0)),
}


def Field(header, name):
    match = re.search(r"^%s\s+(\S+)" % name, header, re.MULTILINE)
    if not match:
        raise SystemExit("objdump printed no %s" % name)
    return match.group(1)


def ImportedNames(header, dll):
    """The names objdump -p lists as imported from one DLL."""
    names = set()
    for block in re.split(r"\n\s*DLL Name: ", header)[1:]:
        lines = block.splitlines()
        if lines[0].strip().lower() == dll:
            names.update(l.split()[-1] for l in lines[1:] if re.match(r"\s+[0-9a-f]+\s+\d+\s+\S", l))
    return names


def main():
    objdump, exe, arch = sys.argv[1:4]
    header = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                            text=True).stdout
    symbols = subprocess.run([objdump, "-t", exe], check=True, capture_output=True,
                             text=True).stdout
    magic, version = EXPECTED[arch]
    size = os.path.getsize(exe)
    dlls = re.findall(r"DLL Name: (\S+)", header)
    failures = []

    if Field(header, "Magic") != magic:
        failures.append("magic %s, expected %s" % (Field(header, "Magic"), magic))
    if int(Field(header, "Subsystem"), 16) != 3:
        failures.append("subsystem %s is not the console (3)" % Field(header, "Subsystem"))
    found = (int(Field(header, "MajorSubsystemVersion")),
             int(Field(header, "MinorSubsystemVersion")))
    if found != version:
        failures.append("subsystem version %d.%d, expected %d.%d" % (found + version))
    if not dlls:
        failures.append("no imported DLL found")
    strays = sorted(d for d in dlls if d.lower() not in ALLOWED_DLLS)
    if strays:
        failures.append("imports DLLs beyond the system's: %s" % ", ".join(strays))
    if re.search(r"^\[\s*\d+\]", symbols, re.MULTILINE):
        failures.append("not stripped: it has a symbol table")
    if size > MAX_SIZE:
        failures.append("%d bytes, more than %d" % (size, MAX_SIZE))
    # The texts go out through msvcrt's own printf (as puts, for constant
    # lines). MinGW's replacement, which any libstdc++ header included too
    # early brings in, more than doubles the image and imports localeconv.
    msvcrt = ImportedNames(header, "msvcrt.dll")
    if "localeconv" in msvcrt or not {"printf", "puts"} & msvcrt:
        failures.append("does not print through msvcrt's printf: MinGW's own is linked in")

    print("%s: %d bytes (%.1f KiB), subsystem %d.%d, imports %s"
          % (exe, size, size / 1024, found[0], found[1], " ".join(dlls)))
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
