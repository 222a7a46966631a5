#!/usr/bin/env python3
"""Makes the sections writable that the delay-load helper writes into: at a
delay-loaded function's first call it stores the DLL's module handle and the
function's address in slots of the image.

GNU ld (x64, x86): the toolchain's delay-import libraries keep the address
slots of USER32 and ADVAPI32 in .idata, which binutils 2.44 and later link
read-only, so that write would fault; earlier ones link it writable, and
then nothing changes here. lld (ARM64) fills the delay-import directory and
puts the slots in .data: each section its descriptors name is checked and,
if need be, marked writable. The header checksum is computed afresh, and
set where the linker left none (lld): signing sets it, and removing a
signature must give back the very bytes built.

    writable_idata.py IMAGE
"""
import sys

import pefile

IMAGE_SCN_MEM_WRITE = 0x80000000


def slot_sections(pe):
    """The sections that hold the helper's slots: those the delay-import
    directory names when the linker filled it, else .idata."""
    delayed = getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
    if delayed:
        rvas = [rva for entry in delayed for rva in (entry.struct.pIAT, entry.struct.phmod)]
        return [s for s in pe.sections if any(s.contains_rva(rva) for rva in rvas)]
    return [s for s in pe.sections if s.Name.rstrip(b"\0") == b".idata"]


def main():
    path = sys.argv[1]
    pe = pefile.PE(path)
    sections = slot_sections(pe)
    if not sections:
        print("%s: no delay-import directory and no .idata section" % path, file=sys.stderr)
        return 1
    read_only = [s for s in sections if not s.Characteristics & IMAGE_SCN_MEM_WRITE]
    for section in read_only:
        section.Characteristics |= IMAGE_SCN_MEM_WRITE
    # After the flags: they are in the headers the checksum covers.
    checksum = pe.generate_checksum()
    if not read_only and pe.OPTIONAL_HEADER.CheckSum == checksum:
        return 0
    pe.OPTIONAL_HEADER.CheckSum = checksum
    data = pe.write()
    pe.close()
    with open(path, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
