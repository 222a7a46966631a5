#!/usr/bin/env python3
"""Builds the release twice, with scripts/package.sh, from two fresh clones
of the source's last commit in two folders, at two different times, with
different umasks and time zones, and compares every artifact byte for byte:
the executables, the zips, the MSIs and SHA256SUMS. A difference names the
file and its first differing offset. Clone "a" stays for the other release
tests.

    release_reproducible.py SOURCE WORK
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time

RUNS = [("a", 0o022, "UTC"), ("b", 0o077, "Pacific/Kiritimati")]


def Package(source, clone, umask, zone):
    shutil.rmtree(clone, ignore_errors=True)
    subprocess.run(["git", "clone", "-q", source, clone], check=True)
    env = dict(os.environ, TZ=zone)
    env.pop("SOURCE_DATE_EPOCH", None)
    started = time.monotonic()
    run = subprocess.run(["bash", "scripts/package.sh"], cwd=clone, env=env,
                         preexec_fn=lambda: os.umask(umask),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    print("%s: umask %03o, TZ=%s, packaged in %.0f s" % (clone, umask, zone,
                                                       time.monotonic() - started))
    if run.returncode != 0:
        print(run.stdout)
        raise SystemExit("FAIL: scripts/package.sh failed in %s" % clone)


def Artifacts(clone):
    packages = os.path.join(clone, "build", "packages")
    found = {name: os.path.join(packages, name) for name in os.listdir(packages)}
    for arch in ("x64", "x86"):
        found["haltctl.exe (%s)" % arch] = os.path.join(clone, "build", "windows-" + arch,
                                                         "haltctl.exe")
    return found


def FirstDifference(a, b):
    for offset, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return offset
    return min(len(a), len(b))


def main():
    source, work = sys.argv[1:3]
    commit = subprocess.run(["git", "-C", source, "rev-parse", "--short", "HEAD"], check=True,
                            capture_output=True, text=True).stdout.strip()
    print("packaging commit %s twice" % commit)
    os.makedirs(work, exist_ok=True)
    clones = []
    for name, umask, zone in RUNS:
        if clones:
            time.sleep(1.5)  # a later second, so that no date can come from the clock
        clones.append(os.path.join(work, name))
        Package(source, clones[-1], umask, zone)

    first, second = (Artifacts(c) for c in clones)
    failures = []
    if sorted(first) != sorted(second):
        failures.append("the two runs made different files: %s and %s"
                        % (sorted(first), sorted(second)))
    for name in sorted(set(first) & set(second)):
        a = open(first[name], "rb").read()
        b = open(second[name], "rb").read()
        if a == b:
            print("same  %-34s %6d bytes  sha256 %s" % (name, len(a),
                                                          hashlib.sha256(a).hexdigest()[:16]))
        else:
            failures.append("%s differs: %d and %d bytes, first at offset %d (0x%x)"
                            % (name, len(a), len(b), FirstDifference(a, b),
                               FirstDifference(a, b)))
    check = subprocess.run(["sha256sum", "-c", "SHA256SUMS"],
                           cwd=os.path.join(clones[0], "build", "packages"),
                           capture_output=True, text=True)
    print(check.stdout.strip())
    if check.returncode != 0:
        failures.append("sha256sum -c SHA256SUMS failed: " + check.stderr.strip())
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
