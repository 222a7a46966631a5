#!/usr/bin/env python3
"""Marks a linked image's .idata section writable, as the delay-load helper
needs it: the toolchain's delay-import libraries keep the address slots of
USER32 and ADVAPI32 in .idata, and the helper writes each function's address
into its slot at the first call. binutils 2.44 and later link .idata
read-only, so that write would fault; earlier ones link it writable, and
then nothing changes here. The header checksum is computed afresh.

    writable_idata.py IMAGE
"""
import sys

import pefile

IMAGE_SCN_MEM_WRITE = 0x80000000


def main():
    path = sys.argv[1]
    pe = pefile.PE(path)
    idata = [s for s in pe.sections if s.Name.rstrip(b"\0") == b".idata"]
    if not idata:
        print("%s: no .idata section" % path, file=sys.stderr)
        return 1
    if all(s.Characteristics & IMAGE_SCN_MEM_WRITE for s in idata):
        return 0
    for section in idata:
        section.Characteristics |= IMAGE_SCN_MEM_WRITE
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    data = pe.write()
    pe.close()
    with open(path, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
