#!/usr/bin/env python3
"""Builds the release twice, with scripts/package.sh, from two fresh clones
of the source's last commit in two folders, at two different times, with
different umasks and time zones, and compares every artifact byte for byte:
the executables, the zips, the MSIs, the build record, SHA256SUMS and the
package managers' manifests. A
difference names the file and its first differing offset. Clone "a" stays
for the other release tests.

The second run is made hard on purpose: it is called from another folder
with a relative output folder, which holds an earlier release to be
replaced, with CXXFLAGS set and a stale flag in the build cache; none of it
may change a byte. Before it, package.sh must refuse, with a message and no
release: a tree with uncommitted changes, signing settings without a PFX,
and a build folder it cannot write.

    release_reproducible.py SOURCE WORK

WORK is wiped first: whatever a killed run left there (keys included) goes.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time

RUNS = [("a", 0o022, "UTC"), ("b", 0o077, "Pacific/Kiritimati")]
RELEASE_URL = "https://downloads.example.org/haltctl/1.0.0"  # so that manifests are made
HOMEPAGE = "https://example.org/haltctl"
EARLIER = ["haltctl-0.9.0-windows-x64.zip", "SHA256SUMS"]


def package(clone, umask, zone, caller=None, out=None, env=None):
    env = dict(os.environ, TZ=zone, HALTCTL_RELEASE_URL=RELEASE_URL, HALTCTL_HOMEPAGE=HOMEPAGE,
               **(env or {}))
    env.pop("SOURCE_DATE_EPOCH", None)
    started = time.monotonic()
    run = subprocess.run(["bash", os.path.join(clone, "scripts", "package.sh")]
                         + ([out] if out else []), cwd=caller or clone, env=env,
                         preexec_fn=lambda: os.umask(umask),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    print("%s: umask %03o, TZ=%s, packaged in %.0f s" % (clone, umask, zone,
                                                       time.monotonic() - started))
    if run.returncode != 0:
        print(run.stdout)
        raise SystemExit("FAIL: scripts/package.sh failed in %s" % clone)


def refusals(clone, work):
    """Each row must fail, say why, and leave the output folder alone."""
    out = os.path.join(work, "refused")
    readme = os.path.join(clone, "README.md")
    build = os.path.join(clone, "build")
    rows = [  # label, extra environment, text the message holds
        ("uncommitted change", {}, "uncommitted changes"),
        ("password file without a PFX", {"HALTCTL_SIGN_PASSWORD_FILE": "pass"},
         "HALTCTL_SIGN_PFX is not"),
        # Root may write anywhere: a file where build/ should be stands in
        # for a folder its user cannot write.
        ("build folder not writable", {}, "is build/ yours"),
    ]
    failures = []
    for label, extra, text in rows:
        if label == "uncommitted change":
            with open(readme, "a") as f:
                f.write("\nA change.\n")
        if label == "build folder not writable":
            open(build, "w").close()
        run = subprocess.run(["bash", os.path.join(clone, "scripts", "package.sh"), out],
                             cwd=clone, env=dict(os.environ, **extra), stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        subprocess.run(["git", "-C", clone, "checkout", "-q", "--", "README.md"], check=True)
        if os.path.isfile(build):
            os.unlink(build)
        last = run.stdout.strip().splitlines()[-1:] or [""]
        ok = run.returncode != 0 and text in run.stdout and not os.path.exists(out)
        print("%-4s refused: %s: status %d, %s" % ("ok" if ok else "FAIL", label,
                                                   run.returncode, last[0][:120]))
        if not ok:
            failures.append("%s was not refused with '%s':\n%s" % (label, text, run.stdout))
    return failures


def artifacts(packages, clone):
    found = {os.path.relpath(os.path.join(folder, name), packages): os.path.join(folder, name)
             for folder, _, names in os.walk(packages) for name in names}
    for arch in ("x64", "x86"):
        found["haltctl.exe (%s)" % arch] = os.path.join(clone, "build", "package",
                                                         "windows-" + arch, "haltctl.exe")
    return found


def first_difference(a, b):
    for offset, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return offset
    return min(len(a), len(b))


def main():
    source, work = sys.argv[1:3]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.environ.get("TMPDIR") or os.path.join(work, "tmp"), exist_ok=True)
    commit = subprocess.run(["git", "-C", source, "rev-parse", "--short", "HEAD"], check=True,
                            capture_output=True, text=True).stdout.strip()
    print("packaging commit %s twice" % commit)
    clones = [os.path.join(work, name) for name, _, _ in RUNS]
    for clone in clones:
        subprocess.run(["git", "clone", "-q", source, clone], check=True)
    failures = refusals(clones[1], work)

    package(clones[0], *RUNS[0][1:])
    time.sleep(1.5)  # a later second, so that no date can come from the clock
    caller = os.path.join(work, "b caller")
    packages = [os.path.join(clones[0], "build", "packages"), os.path.join(caller, "out")]
    os.makedirs(packages[1])
    for name in EARLIER:
        open(os.path.join(packages[1], name), "w").close()
    stale = os.path.join(clones[1], "build", "package", "windows-x64")
    subprocess.run(["cmake", "--preset", "windows-x64", "-B", stale,
                    "-DCMAKE_CXX_FLAGS=-fno-inline"], cwd=clones[1], check=True,
                   capture_output=True)
    package(clones[1], *RUNS[1][1:], caller=caller, out="out", env={"CXXFLAGS": "-fno-inline"})

    first, second = (artifacts(p, c) for p, c in zip(packages, clones))
    if sorted(first) != sorted(second):
        failures.append("the two runs made different files: %s and %s"
                        % (sorted(first), sorted(second)))
    for name in sorted(set(first) & set(second)):
        a = open(first[name], "rb").read()
        b = open(second[name], "rb").read()
        if a == b:
            print("same  %-34s %6d bytes  sha256 %s" % (name[-34:], len(a),
                                                          hashlib.sha256(a).hexdigest()[:16]))
        else:
            failures.append("%s differs: %d and %d bytes, first at offset %d (0x%x)"
                            % (name, len(a), len(b), first_difference(a, b),
                               first_difference(a, b)))
    check = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=packages[0],
                           capture_output=True, text=True)
    print(check.stdout.strip())
    with open(os.path.join(packages[0], "SHA256SUMS")) as sums:
        print("SHA256SUMS:\n" + sums.read().rstrip())
    if check.returncode != 0:
        failures.append("sha256sum -c SHA256SUMS failed: " + check.stderr.strip())
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
