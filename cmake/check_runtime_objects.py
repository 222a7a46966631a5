#!/usr/bin/env python3
"""Fails the build when the executable links a runtime object whose licence
nobody has looked at: reads the linker's map, takes every object that came
from the toolchain (not from this project's build folder), and requires each
to be listed, with its licence, in packaging/runtime-objects.txt. The
notices shipped with haltctl (packaging/THIRD-PARTY-NOTICES.txt) are
written from that list; a new object means reading its licence in Debian's
copyright files and, if it asks for a notice with binary copies, adding it.

    check_runtime_objects.py MAP LIST
"""
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


def main():
    map_path, list_path = sys.argv[1:3]
    with open(map_path, errors="replace") as f:
        linked = linked_objects(f.read())
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
