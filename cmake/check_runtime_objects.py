#!/usr/bin/env python3
"""Fails the build when the executable links a runtime object whose licence
nobody has looked at: reads the linker's map, takes every object that came
from the toolchain (not from this project's build folder), and requires each
to be listed, with its licence, in packaging/runtime-objects.txt. The
notices shipped with haltctl (packaging/THIRD-PARTY-NOTICES.txt) are
written from that list; a new object means reading its licence in Debian's
copyright files and, if it asks for a notice with binary copies, adding it.

Reads GNU ld's map and lld's (the ARM64 build's); in lld's, every input from
outside the build folder (the map's folder) is the toolchain's. With --none
the link may take no runtime object at all, listed or not: the ARM64 build
links only its own objects and the import libraries it makes.

    check_runtime_objects.py MAP LIST [--none]
"""
import os
import re
import sys

# The MinGW-w64 import libraries' members are one stub per function, named
# after the library and numbered: they count as one entry per library.
IMPORT_STUB = re.compile(r"^lib\w+?(_def)?(h|t|s\d+)\.o$")
# Members of the runtime's archives carry the archive in their name.
MEMBER_PREFIX = re.compile(r"^(lib(32|64)_)?lib\w+?_a-")


def normalize(path):
    """/usr/.../libmingwex.a(lib64_libmingwex_a-delayimp.o) becomes
    libmingwex.a(delayimp.o); /usr/.../crt2.o becomes crt2.o."""
    m = re.match(r"^(.*/)?([^/()]+\.a)\((.+)\)$", path)
    if not m:
        return path.rsplit("/", 1)[-1]
    archive, member = m.group(2), m.group(3)
    if IMPORT_STUB.match(member):
        return "%s(import-stubs)" % archive
    return "%s(%s)" % (archive, MEMBER_PREFIX.sub("", member))


def linked_objects(map_text):
    """The toolchain's objects the link took: the archive members pulled in
    to satisfy a reference, and the object files loaded outright."""
    found = set()
    members = map_text.split("Archive member included", 1)[-1].split("\nDiscarded", 1)[0]
    for line in members.splitlines():
        if line.startswith("/"):
            found.add(normalize(line.split()[0]))
    for m in re.finditer(r"^LOAD (/\S+\.o)$", map_text, re.M):
        found.add(normalize(m.group(1)))
    return found


# lld's map: "Address Size Align Out In Symbol", then per line a header of
# 24 characters and the output section, an input (indented 8) or a symbol
# (indented 16). An input is FILE:(SECTION): an object file as the linker
# was given it, or an archive member, as ARCHIVE(MEMBER) or (lld 14) the
# member's name alone.
LLD_HEADER = re.compile(r"^Address +Size +Align +Out +In +Symbol$")
LLD_INPUT = re.compile(r"^[0-9a-f]{8} [0-9a-f]{8} [ 0-9]{5} {9}(\S.*):\(.*\)$", re.M)


def archive_members(path):
    """The member names of an archive in the common (GNU) format or in
    COFF's, which llvm-ar 19 writes for COFF objects: its long names end
    with a null byte, not with "/" and a line end."""
    with open(path, "rb") as f:
        data = f.read()
    names, long_names, offset = set(), b"", 8
    while data.startswith(b"!<arch>\n") and offset + 60 <= len(data):
        name, size = (data[offset:offset + 16].decode("latin-1").rstrip(),
                      int(data[offset + 48:offset + 58]))
        body = data[offset + 60:offset + 60 + size]
        if name == "//":
            long_names = body
        elif name[1:].isdigit():
            start = int(name[1:])
            names.add(re.split(b"/\n|\0", long_names[start:], 1)[0].decode("latin-1"))
        elif not name.startswith("/"):  # not a symbol table
            names.add(name.rstrip("/"))
        offset += 60 + size + size % 2
    return names


def lld_inputs(map_text, build):
    """(the toolchain's objects, the build's own inputs) of an lld link: own
    are the files in the build folder and the members of its archives."""
    members = set()
    for name in os.listdir(build):
        if name.endswith(".a"):
            members |= archive_members(os.path.join(build, name))
    found, own = set(), set()
    for m in LLD_INPUT.finditer(map_text):
        name = m.group(1)
        if name.startswith("<"):  # made by the linker itself
            continue
        path = os.path.normpath(os.path.join(build, re.sub(r"\(.*\)$", "", name)))
        if name in members or (os.path.commonpath([path, build]) == build
                               and os.path.isfile(path)):
            own.add(name)
        else:
            found.add(normalize(name))
    return found, own


def main():
    map_path, list_path = sys.argv[1:3]
    none = sys.argv[3:] == ["--none"]
    with open(map_path, errors="replace") as f:
        text = f.read()
    if LLD_HEADER.match(text.split("\n", 1)[0]):
        linked, own = lld_inputs(text, os.path.dirname(os.path.abspath(map_path)))
        if not own:
            print("%s: no input of the link found in the map" % map_path, file=sys.stderr)
            return 1
    else:
        linked = linked_objects(text)
    if none:
        if linked:
            print("the link took runtime objects: %s. This build links none: its start-up "
                  "code is platform/startup_arm64.cpp, its import libraries are made from "
                  "platform/*.def" % ", ".join(sorted(linked)), file=sys.stderr)
            return 1
        return 0
    listed = {}
    with open(list_path) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                name, licence = line.split()[:2]
                listed[name] = licence
    if not linked:
        print("%s: no runtime object found in the map" % map_path, file=sys.stderr)
        return 1
    unknown = sorted(linked - set(listed))
    if unknown:
        print("the link took runtime objects whose licence has not been reviewed: %s.\n"
              "Look each up in Debian's copyright files (/usr/share/doc/mingw-w64-common/"
              "copyright, /usr/share/doc/gcc-mingw-w64-base/copyright), add it with its "
              "licence to %s, and add to packaging/THIRD-PARTY-NOTICES.txt any notice "
              "that licence asks to ship with binaries." % (", ".join(unknown), list_path),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
