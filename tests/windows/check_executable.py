#!/usr/bin/env python3
"""Checks a built haltctl.exe without running it: a stripped console program
for the right Windows version that needs nothing but system DLLs, loads
USER32 and ADVAPI32 only when a request first calls them, and stays small.
Reads the PE file with Debian's python3-pefile.

With --probe, EXE is the probe build, which is run where a session end must
never happen: it must delay-load ADVAPI32 alone, and no name that could end
the session may stand anywhere in the file, imported, delay-loaded or to be
looked up at run time. Its SHA-256 is printed, for the workflow to pin.

    check_executable.py EXE x64|x86|arm64 [--probe]
"""
import hashlib
import os
import struct
import sys

import pefile

IMPORTED_DLLS = {"kernel32.dll", "msvcrt.dll"}     # loaded with the program
DELAYED_DLLS = {"user32.dll", "advapi32.dll"}      # loaded at their first call
MAX_SIZE = 64 * 1024
EXPECTED = {  # machine, optional header magic, subsystem version, the linker fills
    #           the delay-import directory (lld does, GNU ld does not)
    "x64": (0x8664, 0x20B, (5, 2), False),
    "x86": (0x14C, 0x10B, (4, 0), False),
    # 6.2: the lowest Microsoft's linker takes for ARM64; Windows 10 and 11.
    "arm64": (0xAA64, 0x20B, (6, 2), True),
}
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
# What the probe must not be able to call: the request itself, the other
# ways to shut down, and USER32, which holds the request.
PROBE_FORBIDDEN = [b"ExitWindows", b"InitiateSystemShutdown", b"InitiateShutdown",
                   b"NtShutdownSystem", b"ZwShutdownSystem", b"NtSetSystemPowerState", b"user32"]
IMAGE_SCN_MEM_WRITE = 0x80000000


def delay_loaded(pe):
    """{dll: [function]} from the delay-load descriptors in the image; a
    function whose address slot the helper could not write at its first
    call (no loader code there, or a read-only section) is marked so.

    GNU ld does not fill the PE header's delay-import directory, so the
    descriptors that the toolchain's delay-import libraries put in the image
    are found by their shape: attributes 1 (addresses are RVAs), then RVAs of
    the DLL's name, its module handle, its address table and its name table,
    all inside the image, the name ending in ".dll". The helper writes the
    module handle too: a read-only one marks every function."""
    image = pe.get_memory_mapped_image()
    limit = pe.OPTIONAL_HEADER.SizeOfImage
    wide = pe.OPTIONAL_HEADER.Magic == 0x20B
    thunk, thunk_format = (8, "<Q") if wide else (4, "<I")
    found = {}
    for offset in range(0, len(image) - 32, 4):
        attributes, name, handle, iat, names = struct.unpack_from("<5I", image, offset)
        if attributes != 1 or not all(0 < rva < limit for rva in (name, handle, iat, names)):
            continue
        dll = pe.get_string_at_rva(name, 64)
        if not dll.lower().endswith(b".dll"):
            continue
        functions = []
        while True:
            entry = struct.unpack_from(thunk_format, image, names + thunk * len(functions))[0]
            if entry == 0 or entry >= limit:
                break
            # Until the first call, each address slot holds the address of
            # the code that loads the DLL; a zero there jumps to 0.
            slot = struct.unpack_from(thunk_format, image, iat + thunk * len(functions))[0]
            name = pe.get_string_at_rva(entry + 2, 128).decode("ascii", "replace")
            if not slot:
                name += "(NO LOADER CODE)"
            elif not writable(pe, iat + thunk * len(functions)) or not writable(pe, handle):
                name += "(READ-ONLY SLOT)"
            functions.append(name)
        found[dll.decode("ascii").lower()] = functions
    return found


def writable(pe, rva):
    section = pe.get_section_by_rva(rva)
    return section is not None and bool(section.Characteristics & IMAGE_SCN_MEM_WRITE)


def forbidden_names(data):
    """The forbidden names in the file's bytes, in any case, as ASCII or as
    UTF-16: GNU ld leaves the delay-import directory empty, so the names in
    the file are what counts, whatever pefile's directories say."""
    lowered = data.lower()
    return [name.decode() for name in PROBE_FORBIDDEN
            if name.lower() in lowered or name.lower().decode().encode("utf-16-le") in lowered]


def main():
    exe, arch = sys.argv[1:3]
    probe = sys.argv[3:] == ["--probe"]
    pe = pefile.PE(exe)
    machine, magic, version, directory = EXPECTED[arch]
    size = os.path.getsize(exe)
    optional = pe.OPTIONAL_HEADER
    imports = {entry.dll.decode("ascii").lower(): {(i.name or b"").decode("ascii")
                                                   for i in entry.imports}
               for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    delayed = delay_loaded(pe)
    found = (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)
    failures = []

    if pe.FILE_HEADER.Machine != machine:
        failures.append("machine %x, expected %x" % (pe.FILE_HEADER.Machine, machine))
    if optional.Magic != magic:
        failures.append("magic %x, expected %x" % (optional.Magic, magic))
    if optional.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        failures.append("subsystem %d is not the console (3)" % optional.Subsystem)
    if found != version:
        failures.append("subsystem version %d.%d, expected %d.%d" % (found + version))
    if set(imports) != IMPORTED_DLLS:
        failures.append("imports %s, expected exactly %s"
                        % (", ".join(sorted(imports)), ", ".join(sorted(IMPORTED_DLLS))))
    delayed_dlls = {"advapi32.dll"} if probe else DELAYED_DLLS
    if set(delayed) != delayed_dlls:
        failures.append("delay-loads %s, expected exactly %s"
                        % (", ".join(sorted(delayed)) or "nothing",
                           ", ".join(sorted(delayed_dlls))))
    listed = {e.dll.decode("ascii").lower(): [(i.name or b"").decode("ascii") for i in e.imports]
              for e in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])}
    if directory and listed != {dll: [f.split("(")[0] for f in functions]
                                for dll, functions in delayed.items()}:
        failures.append("the delay-import directory lists %s, not what the image delay-loads"
                        % (listed or "nothing"))
    if probe:
        data = open(exe, "rb").read()
        names = forbidden_names(data) + [
            "%s from %s" % (f, dll) for dll, functions in
            [(e.dll, e.imports) for e in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
            for f in functions if forbidden_names((f.name or b"") + dll)]
        if names:
            failures.append("the probe names %s: it could end the session" % ", ".join(names))
        print("probe SHA-256 %s" % hashlib.sha256(data).hexdigest())
    broken = [f for functions in delayed.values() for f in functions if "(" in f]
    if broken:
        failures.append("delay-loaded functions whose first call would jump to 0 or fault: "
                        + " ".join(broken))
    # Signing sets it: one left out would not come back when a signature is
    # removed, so the signed file would not give back the built one.
    if not optional.CheckSum or not pe.verify_checksum():
        failures.append("the header checksum %x is missing or wrong" % optional.CheckSum)
    if pe.FILE_HEADER.PointerToSymbolTable or pe.FILE_HEADER.NumberOfSymbols:
        failures.append("not stripped: it has a symbol table")
    if size > MAX_SIZE:
        failures.append("%d bytes, more than %d" % (size, MAX_SIZE))
    # The texts go out through msvcrt's own printf (as puts, for constant
    # lines). MinGW's replacement, which any libstdc++ header included too
    # early brings in, more than doubles the image and imports localeconv.
    msvcrt = imports.get("msvcrt.dll", set())
    if "localeconv" in msvcrt or not {"printf", "puts"} & msvcrt:
        failures.append("does not print through msvcrt's printf: MinGW's own is linked in")

    print("%s: %d bytes (%.1f KiB), subsystem %d.%d, imports %s; loads at first call %s"
          % (exe, size, size / 1024, found[0], found[1], " ".join(sorted(imports)),
             "; ".join("%s (%s)" % (dll, " ".join(f)) for dll, f in sorted(delayed.items()))))
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
