#!/usr/bin/env python3
"""Reads the resources of a built haltctl.exe with a parser of its own over
the PE file and checks them against the version in the top CMakeLists.txt:
the version resource's numbers and strings, and the embedded manifest.

    check_resources.py EXE CMAKELISTS
"""
import re
import struct
import sys

RT_VERSION = 16
RT_MANIFEST = 24
SUPPORTED_OS = {
    "e2011457-1546-43c5-a5fe-008deee3d3f0": "Vista",
    "35138b9a-5d96-4fbd-8e2d-a2440225f93a": "7",
    "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38": "8",
    "1f676c76-80e1-4239-95bb-83d0f6d0da78": "8.1",
    "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a": "10 and 11",
}


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise SystemExit("not a PE file")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.rsrc_rva, self.rsrc_size = struct.unpack_from("<II", data, directories + 2 * 8)
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((rva, max(size, raw_size), raw))

    def Offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise SystemExit("address %x lies in no section" % rva)

    def Resources(self):
        """{(type, name): bytes} for every resource (first language)."""
        if not self.rsrc_rva:
            return {}
        base = self.Offset(self.rsrc_rva)
        found = {}

        def Entries(offset):
            named, numbered = struct.unpack_from("<HH", self.data, base + offset + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data,
                                                   base + offset + 16 + 8 * i)
                yield ident, target

        for type_id, type_target in Entries(0):
            for name_id, name_target in Entries(type_target & 0x7FFFFFFF):
                for _, leaf in Entries(name_target & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.Offset(rva)
                    found.setdefault((type_id, name_id), self.data[start:start + size])
        return found


def VersionBlocks(data, offset=0, end=None):
    """Walks one level of VS_VERSIONINFO blocks between offset and end:
    yields (key, value bytes, is_text, where its children start, its end)."""
    end = len(data) if end is None else end
    while offset + 6 <= end:
        length, value_length, is_text = struct.unpack_from("<HHH", data, offset)
        if length == 0:
            break
        key_end = offset + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[offset + 6:key_end].decode("utf-16-le")
        value_start = (key_end + 2 + 3) & ~3
        value_bytes = value_length * 2 if is_text else value_length
        value = data[value_start:value_start + value_bytes]
        children = (value_start + value_bytes + 3) & ~3
        yield key, value, is_text, children, offset + length
        offset = (offset + length + 3) & ~3


def ReadVersion(data):
    fixed = None
    strings = {}
    for key, value, _, children, block_end in VersionBlocks(data):
        if key != "VS_VERSION_INFO":
            continue
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", value)
        if signature != 0xFEEF04BD:
            raise SystemExit("VS_FIXEDFILEINFO signature %x" % signature)
        fixed = ((file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF),
                 (product_ms >> 16, product_ms & 0xFFFF, product_ls >> 16, product_ls & 0xFFFF))
        for key2, _, _, children2, end2 in VersionBlocks(data, children, block_end):
            if key2 != "StringFileInfo":
                continue
            for _, _, _, children3, end3 in VersionBlocks(data, children2, end2):
                for name, text, _, _, _ in VersionBlocks(data, children3, end3):
                    strings[name] = text.decode("utf-16-le").rstrip("\0")
    return fixed, strings


def main():
    exe, cmakelists = sys.argv[1:3]
    version = re.search(r"project\(haltctl\s+VERSION\s+(\d+)\.(\d+)\.(\d+)",
                        open(cmakelists).read()).groups()
    numbers = tuple(int(v) for v in version) + (0,)
    text = ".".join(version)
    resources = Pe(open(exe, "rb").read()).Resources()
    failures = []

    versions = [v for (t, _), v in resources.items() if t == RT_VERSION]
    if len(versions) != 1:
        raise SystemExit("FAIL: %d version resources" % len(versions))
    fixed, strings = ReadVersion(versions[0])
    for name, value in sorted(strings.items()):
        print("%-17s %s" % (name, value))
    print("%-17s %s / %s" % ("fixed versions", fixed[0], fixed[1]))
    expected = {
        "FileDescription": "Console Shutdown control utility",
        "ProductName": "haltctl",
        "OriginalFilename": "haltctl.exe",
        "InternalName": "haltctl",
        "FileVersion": text,
        "ProductVersion": text,
    }
    for name, value in expected.items():
        if strings.get(name) != value:
            failures.append("%s is %r, expected %r" % (name, strings.get(name), value))
    copyright_text = strings.get("LegalCopyright", "")
    if "Copyright" not in copyright_text or "MIT License" not in copyright_text:
        failures.append("LegalCopyright %r names no copyright and licence" % copyright_text)
    if fixed != (numbers, numbers):
        failures.append("fixed file/product versions %s, expected %s" % (fixed, numbers))

    manifest = resources.get((RT_MANIFEST, 1))
    if manifest is None:
        failures.append("no application manifest (RT_MANIFEST 1)")
    else:
        xml = manifest.decode("utf-8")
        level = re.search(r'requestedExecutionLevel\s+level="(\w+)"', xml)
        print("%-17s %s" % ("execution level", level.group(1) if level else None))
        if not level or level.group(1) != "asInvoker":
            failures.append("the manifest does not ask to run asInvoker")
        ids = set(re.findall(r'supportedOS\s+Id="\{([0-9a-f-]+)\}"', xml))
        print("%-17s %s" % ("supported OS", ", ".join(SUPPORTED_OS.get(i, i) for i in sorted(ids, key=list(SUPPORTED_OS).index) if i in SUPPORTED_OS)))
        if ids != set(SUPPORTED_OS):
            failures.append("supportedOS entries %s" % sorted(ids))

    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
