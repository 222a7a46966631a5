#!/usr/bin/env python3
"""Builds the release archive with CPack into a scratch folder and checks
what a Windows user unpacks: exactly haltctl.exe, LICENSE.txt and README.txt,
the executable byte for byte the built one, both texts with CRLF line ends.

    check_archive.py CPACK CPACK_CONFIG EXE VERSION ARCH
"""
import os
import subprocess
import sys
import tempfile
import zipfile


def main():
    cpack, config, exe, version, arch = sys.argv[1:6]
    name = "haltctl-%s-windows-%s.zip" % (version, arch)
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run([cpack, "--config", config, "-B", scratch], check=True,
                       capture_output=True)
        path = os.path.join(scratch, name)
        if not os.path.exists(path):
            print("FAIL: cpack made %s, not %s" % (os.listdir(scratch), name))
            return 1
        print("%s: %d bytes" % (name, os.path.getsize(path)))
        with zipfile.ZipFile(path) as archive:
            names = sorted(archive.namelist())
            print("holds " + ", ".join(names))
            if names != ["LICENSE.txt", "README.txt", "haltctl.exe"]:
                failures.append("holds %s" % names)
            else:
                if archive.read("haltctl.exe") != open(exe, "rb").read():
                    failures.append("haltctl.exe differs from the built executable")
                for text in ("LICENSE.txt", "README.txt"):
                    body = archive.read(text)
                    if body.count(b"\n") == 0 or body.count(b"\n") != body.count(b"\r\n"):
                        failures.append("%s does not end every line with CRLF" % text)
                if b"MIT License" not in archive.read("LICENSE.txt"):
                    failures.append("LICENSE.txt is not the MIT licence")
                readme = archive.read("README.txt").split(b"\r\n")
                if ("haltctl %s" % version).encode() not in readme[0]:
                    failures.append("README.txt's title does not name version %s" % version)
                if readme[1] != b"=" * len(readme[0]):
                    failures.append("README.txt's title underline is not as long as the title")
                if b"@" in b"".join(readme):
                    failures.append("README.txt holds an unreplaced @VARIABLE@")
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
