#!/usr/bin/env python3
"""Reads the resources of a built haltctl.exe with Debian's python3-pefile
and checks them against the version in the top CMakeLists.txt: the version
resource's numbers and strings, and the embedded manifest, whose processor
architecture must be the image's (Windows refuses to start a program whose
manifest names another).

    check_resources.py EXE CMAKELISTS x64|x86|arm64
"""
import re
import sys

import pefile

RT_MANIFEST = 24
SUPPORTED_OS = {
    "e2011457-1546-43c5-a5fe-008deee3d3f0": "Vista",
    "35138b9a-5d96-4fbd-8e2d-a2440225f93a": "7",
    "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38": "8",
    "1f676c76-80e1-4239-95bb-83d0f6d0da78": "8.1",
    "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a": "10 and 11",
}
MANIFEST_ARCH = {"x64": "amd64", "x86": "x86", "arm64": "arm64"}


def resource(pe, type_id, name_id):
    """The bytes of one resource (first language), or None."""
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return None
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for name in kind.directory.entries:
            if name.id == name_id:
                data = name.directory.entries[0].data.struct
                return pe.get_data(data.OffsetToData, data.Size)
    return None


def read_version(pe):
    """((file version), (product version)) and the version strings."""
    if not hasattr(pe, "VS_FIXEDFILEINFO") or len(pe.VS_FIXEDFILEINFO) != 1:
        raise SystemExit("FAIL: not exactly one version resource")
    info = pe.VS_FIXEDFILEINFO[0]

    def split(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    fixed = (split(info.FileVersionMS, info.FileVersionLS),
             split(info.ProductVersionMS, info.ProductVersionLS))
    strings = {}
    for block in pe.FileInfo[0]:
        for table in getattr(block, "StringTable", []):
            strings.update((k.decode("utf-8"), v.decode("utf-8"))
                           for k, v in table.entries.items())
    return fixed, strings


def main():
    exe, cmakelists, arch = sys.argv[1:4]
    version = re.search(r"project\(haltctl\s+VERSION\s+(\d+)\.(\d+)\.(\d+)",
                        open(cmakelists).read()).groups()
    numbers = tuple(int(v) for v in version) + (0,)
    text = ".".join(version)
    pe = pefile.PE(exe)
    failures = []

    fixed, strings = read_version(pe)
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

    manifest = resource(pe, RT_MANIFEST, 1)
    if manifest is None:
        failures.append("no application manifest (RT_MANIFEST 1)")
    else:
        xml = manifest.decode("utf-8")
        level = re.search(r'requestedExecutionLevel\s+level="(\w+)"', xml)
        print("%-17s %s" % ("execution level", level.group(1) if level else None))
        if not level or level.group(1) != "asInvoker":
            failures.append("the manifest does not ask to run asInvoker")
        machine = re.search(r'<assemblyIdentity[^>]*\sprocessorArchitecture="(\w+)"', xml)
        print("%-17s %s" % ("architecture", machine.group(1) if machine else None))
        if not machine or machine.group(1) != MANIFEST_ARCH[arch]:
            failures.append("the manifest is for %s, expected %s"
                            % (machine and machine.group(1), MANIFEST_ARCH[arch]))
        ids = set(re.findall(r'supportedOS\s+Id="\{([0-9a-f-]+)\}"', xml))
        print("%-17s %s" % ("supported OS",
                            ", ".join(SUPPORTED_OS.get(i, i)
                                      for i in sorted(ids, key=list(SUPPORTED_OS).index)
                                      if i in SUPPORTED_OS)))
        if ids != set(SUPPORTED_OS):
            failures.append("supportedOS entries %s" % sorted(ids))

    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
