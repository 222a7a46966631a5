#!/usr/bin/env python3
"""Builds the release twice, with scripts/package.sh, from two fresh clones
of what the developer has (the source's last commit with the working
tree's changes, committed in the first clone) in two folders, at two
different times, with different umasks and time zones, and compares every
artifact byte for byte: the executables, the zips, the MSIs, the build
record, SHA256SUMS and the package managers' manifests. A difference names
the file and its first differing offset. Clone "a" stays for the other
release tests.

The first run replaces an earlier release in build/packages. The second
is made hard on purpose: it is called from another folder with a relative
output folder, with compiler flags and the compiler's search-path variables
pointing at a wrapping stdlib.h, and a stale flag in the build cache; none
of it may change a byte. Before it, package.sh must refuse, with a message
and no release: a tree with uncommitted changes, signing settings without a
PFX, a build folder it cannot write, an output folder that holds the source
tree or touches build/package, a release URL with a quote, and a second
release in the same clone. After it, replacing a release must be all or
nothing and touch nothing an earlier release did not make.

    release_reproducible.py SOURCE WORK BUILD VERSION

VERSION is the project's (CMakeLists.txt); the replacement rows release the
next patch version.

WORK is wiped first: whatever a killed run left there (keys included) goes.
"""
import fcntl
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time

# The second clone's path holds what tools have tripped over: a quote
# (windres's shell), a % (llvm-dlltool, ld's map name), letters beyond ASCII.
RUNS = [("a", 0o022, "UTC"), ("b it's 100% ünï", 0o077, "Pacific/Kiritimati")]
RELEASE_URL = "https://downloads.example.org/haltctl"  # so that manifests are made
HOMEPAGE = "https://example.org/haltctl"
# What the second run's output folder holds before it: an earlier release,
# a file and the record that lists it.
EARLIER = {"haltctl-0.9.0-windows-x64.zip": b"an earlier release",
           ".haltctl-release": b"file haltctl-0.9.0-windows-x64.zip\n"}
# Variables that GCC reads, pointing at a stdlib.h that would mark every
# object built with it.
COMPILER_VARIABLES = ["CPATH", "C_INCLUDE_PATH", "CPLUS_INCLUDE_PATH", "LIBRARY_PATH",
                      "GCC_EXEC_PREFIX", "COMPILER_PATH"]


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
        # Its parent, as a user who runs `package.sh .` beside the clone.
        ("output folder holding the source tree", {}, "holds the source tree"),
        ("a quote in the release URL", {"HALTCTL_RELEASE_URL": RELEASE_URL + "/'+x+'",
                                        "HALTCTL_HOMEPAGE": HOMEPAGE}, "without quotes"),
        ("a second release in this clone", {}, "another scripts/package.sh"),
        # One letter from the default, and a folder inside it: the
        # packaging wipes build/package before it builds.
        ("output folder build/package", {}, "the packaging's own work folder"),
        ("output folder inside build/package", {}, "the packaging's own work folder"),
        # Only build/packages is the tools' own; a folder the user names
        # is never replaced.
        ("an earlier release in a folder the user named", {}, "is never replaced"),
    ]
    failures = []
    beside = os.path.join(os.path.dirname(clone), "haltctl-notes")
    for label, extra, text in rows:
        target = out
        if label == "uncommitted change":
            with open(readme, "a") as f:
                f.write("\nA change.\n")
        if label == "build folder not writable":
            open(build, "w").close()
        if label == "output folder holding the source tree":
            target = os.path.dirname(clone)
            os.makedirs(beside)
        if label == "an earlier release in a folder the user named":
            target = os.path.join(work, "named")
            plant(target, EARLIER)
        if label.startswith("output folder") and "build/package" in label:
            target = os.path.join(build, "package",
                                  "" if label == "output folder build/package" else "tmp")
            plant(target, {"haltctl-notes/notes.txt": b"notes", "SHA256SUMS": b""})
        lock = os.open(clone, os.O_RDONLY)
        if label == "a second release in this clone":
            fcntl.flock(lock, fcntl.LOCK_EX)
        run = subprocess.run(["bash", os.path.join(clone, "scripts", "package.sh"), target],
                             cwd=clone, env=dict(os.environ, **extra), stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        os.close(lock)
        subprocess.run(["git", "-C", clone, "checkout", "-q", "--", "README.md"], check=True)
        if os.path.isfile(build):
            os.unlink(build)
        last = run.stdout.strip().splitlines()[-1:] or [""]
        ok = run.returncode != 0 and text in run.stdout and not os.path.exists(out)
        if label == "output folder holding the source tree":
            ok = ok and os.path.isdir(beside) and os.path.isdir(os.path.join(clone, ".git"))
            shutil.rmtree(beside, ignore_errors=True)
        if "build/package" in label:
            ok = ok and os.path.isfile(os.path.join(target, "haltctl-notes", "notes.txt"))
            shutil.rmtree(build)
        if label == "an earlier release in a folder the user named":
            ok = ok and hashes(target) == {n: hashlib.sha256(d).hexdigest()
                                           for n, d in EARLIER.items()}
        print("%-4s refused: %s: status %d, %s" % ("ok" if ok else "FAIL", label,
                                                   run.returncode, last[0][:120]))
        if not ok:
            failures.append("%s was not refused with '%s':\n%s" % (label, text, run.stdout))
    return failures


def artifacts(packages, clone):
    found = {os.path.relpath(os.path.join(folder, name), packages): os.path.join(folder, name)
             for folder, _, names in os.walk(packages) for name in names}
    for arch in ("x64", "x86", "arm64"):
        found["haltctl.exe (%s)" % arch] = os.path.join(clone, "build", "package",
                                                        "windows-" + arch, "haltctl.exe")
    return found


def first_difference(a, b):
    for offset, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return offset
    return min(len(a), len(b))


def clone_working_tree(source, clone):
    """Clones the source and commits in the clone every change of the
    working tree, tracked or new (ignored files aside): the release tests
    test what the developer has, not only the last commit. Returns what
    was cloned, in words."""
    def listed(folder):
        return set(filter(None, subprocess.run(
            ["git", "-C", folder, "ls-files", "-z", "--cached", "--others",
             "--exclude-standard"],
            check=True, capture_output=True, text=True).stdout.split("\0")))

    subprocess.run(["git", "clone", "-q", source, clone], check=True)
    have = listed(source)
    for name in listed(clone) | have:
        here, there = os.path.join(source, name), os.path.join(clone, name)
        if os.path.lexists(there) and not os.path.isdir(there):
            os.unlink(there)
        if name in have and os.path.lexists(here) and not os.path.isdir(here):
            os.makedirs(os.path.dirname(there), exist_ok=True)
            shutil.copy2(here, there, follow_symlinks=False)
    subprocess.run(["git", "-C", clone, "add", "-A"], check=True)
    commit = subprocess.run(["git", "-C", source, "rev-parse", "--short", "HEAD"], check=True,
                            capture_output=True, text=True).stdout.strip()
    if subprocess.run(["git", "-C", clone, "diff", "--cached", "--quiet"]).returncode == 0:
        return "commit %s" % commit
    subprocess.run(["git", "-C", clone, "-c", "user.name=haltctl tests", "-c",
                    "user.email=tests@haltctl.invalid", "commit", "-q", "-m",
                    "The working tree of " + source], check=True)
    return "the working tree: commit %s with its uncommitted changes" % commit


def hashes(folder):
    """Every entry below folder, links not followed: a file's SHA-256, a
    folder's "folder", a link's "link to TARGET"."""
    found = {}
    for parent, dirs, names in os.walk(folder):
        for name in dirs + names:
            path = os.path.join(parent, name)
            found[os.path.relpath(path, folder)] = (
                "link to " + os.readlink(path) if os.path.islink(path) else
                "folder" if os.path.isdir(path) else
                hashlib.sha256(open(path, "rb").read()).hexdigest())
    return found


# Runs a command with a small file system of its own mounted on DISK,
# holding a copy of EARLIER in DISK/out; afterwards writes the files of
# DISK/out and their hashes to LISTING, since the mount goes with the
# namespace.
FULL_DISK = """mount -t tmpfs -o size=64k tmpfs "$1" && cp -a "$2" "$1/out" || exit 99
"${@:4}"; status=$?
(cd "$1/out" && find . -type f -exec sha256sum {} +) >"$3"
exit $status"""


def small_disk():
    """How to get a mount namespace here: as a user's own namespace, or as
    root's; None where neither is allowed (a plain user in a chroot)."""
    for command in (["unshare", "--user", "--map-root-user", "--mount"], ["unshare", "--mount"]):
        if subprocess.run(command + ["true"], capture_output=True).returncode == 0:
            return command
    return None


def plant(folder, files):
    """Files {name: bytes}; None makes an empty folder, a str a link to it."""
    for name, data in files.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if data is None:
            os.makedirs(path)
        elif isinstance(data, str):
            os.symlink(data, path)
        else:
            with open(path, "wb") as f:
                f.write(data)


# Mounts made, in a mount namespace of the row's own, over the row's
# folder ($1) before the release runs: where the release must refuse to go.
MOUNTS = {
    "an empty mount point": 'mount -t tmpfs tmpfs "$1/out"',
    "a read-only earlier release": 'mount --bind "$1/out/manifests" "$1/out/manifests" && '
                                   'mount -o remount,bind,ro "$1/out/manifests"',
    "a read-only parent": 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1"',
}


def owner_and_mode(folder):
    found = os.lstat(folder) if os.path.lexists(folder) else None
    return found and (found.st_ino, found.st_mode, found.st_uid, found.st_gid)


# Saved into the output folder once the new release is being made.
NOTES = b"notes the user saved while the release was made"


def replacements(clone, packages, work, version):
    """Releases of the version after VERSION made from clone a's
    executables into an
    output folder that holds a copy of its release, an empty folder, or
    nothing, plus what a row puts there. In a folder of the tools' own
    (--owned) the release must replace a release of its own, even where a
    killed run left its folders beside it, and refuse a folder holding
    anything else; a folder the user named must be new or empty, and an
    empty one keeps its mode. A refused folder stays as it was, and nothing
    saved during the run is lost. A disk that fills up: a 64 KiB file
    system holding an earlier release (its zips, SHA256SUMS and record, 36
    KiB), too small for the new one (about 110 KiB), must keep the earlier
    release whole and say so. Rows that mount need a mount namespace, and
    are not run where none is allowed."""
    builds = ["--build=%s=%s" % (arch, os.path.join(clone, "build", "package", "windows-" + arch))
              for arch in ("x64", "x86", "arm64")]
    major, minor, patch = version.split(".")
    following = "%s.%s.%d" % (major, minor, int(patch) + 1)
    user = {"haltctl-notes/notes.txt": b"notes",
            "haltctl-%s-windows-x64.zip.asc/x" % version: b"sig"}
    iso = {"debian.iso": b"an ISO", "SHA256SUMS": b"%s  debian.iso\n"
           % hashlib.sha256(b"an ISO").hexdigest().encode()}
    rows = [  # label, what the folder holds, files added, --owned, status, message, kept
        ("an earlier release", "release", {}, True, 0, "", "new"),
        ("a disk that fills up", "release", {}, True, 1, "was not changed", "all"),
        ("folders and files no release made", "release", user, True, 1, "haltctl-notes/", "all"),
        ("a SHA256SUMS of something else", "empty", iso, True, 1, "no run of these tools made",
         "all"),
        ("a link and an empty folder in manifests/", "release",
         {"manifests/mine": None, "manifests/link": "/"}, True, 1, "manifests/link", "all"),
        ("another release writing beside it", "release", {}, True, 1,
         "another release is being written", "all"),
        ("its folder half made by a killed run", "release", {"../.out.haltctl-new-k1/x": b"half"},
         True, 0, "left by an interrupted run", "new"),
        # Killed while it moved a release in: the record, listing it all,
        # goes first.
        ("a release half put in place by a killed run", "release", {}, True, 0, "", "new"),
        ("SIGTERM while it is made", "release", {}, True, 143, "stopped by SIGTERM", "all"),
        ("a file saved into it during the run", "release", {}, True, 0, "kept", "new"),
        ("a read-only earlier release", "release", {}, True, 1, "is read-only", "all"),
        ("an earlier release in a folder the user named", "release", {}, False, 1,
         "is never replaced", "all"),
        ("an empty folder the user made", "empty", {}, False, 0, "", "new"),
        ("a file saved into the user's empty folder during the run", "empty", {}, False, 0, "",
         "new"),
        ("an empty mount point", "empty", {}, False, 1, "is a mount point", "all"),
        ("a read-only parent", "nothing", {}, False, 1, "is read-only", "all"),
    ]
    namespace = small_disk()
    failures = []
    for label, holds, added, owned, status, message, kept in rows:
        parent = os.path.join(work, "replace", label.replace(" ", "-").replace("/", ""))
        out = os.path.join(parent, "out")
        if holds == "release":
            shutil.copytree(packages, out, symlinks=True)
        os.makedirs(out if holds == "empty" else parent, exist_ok=True)
        if holds == "empty":
            os.chmod(out, 0o2775)  # a folder shared with a group, say
        plant(out, added)
        release = [sys.executable, os.path.join(clone, "scripts", "release", "release.py"),
                   "--version", following, "--epoch", "1700000000", "--source", label] + builds
        command = release + ["--out", out] + ["--owned"] * owned
        env = dict({k: v for k, v in os.environ.items() if not k.startswith("HALTCTL_")},
                   HALTCTL_RELEASE_URL=RELEASE_URL, HALTCTL_HOMEPAGE=HOMEPAGE)
        disk = label == "a disk that fills up"
        if (disk or label in MOUNTS) and not namespace:
            print("     not run: %s needs a mount namespace" % label)
            continue
        before = hashes(out)
        if disk:
            shutil.rmtree(os.path.join(out, "manifests"))
            for name in os.listdir(out):
                if not name.endswith((".zip", "SHA256SUMS", ".haltctl-release")):
                    os.unlink(os.path.join(out, name))
            with open(os.path.join(out, ".haltctl-release")) as f:
                record = [line for line in f if not line.startswith(tuple(
                    "file haltctl-%s-%s" % (version, kind) for kind in (
                        "b", "windows-x64.m", "windows-x86.m")) + (
                            "file manifests/", "dir manifests"))]
            with open(os.path.join(out, ".haltctl-release"), "w") as f:
                f.writelines(record)
            before = hashes(out)
            disk_folder = os.path.join(parent, "disk")
            os.makedirs(disk_folder)
            listing = os.path.join(parent, "listing")
            command = namespace + ["bash", "-c", FULL_DISK, "_", disk_folder, out, listing] + \
                release + ["--out", os.path.join(disk_folder, "out"), "--owned"]
        if label in MOUNTS:
            command = namespace + ["bash", "-c", MOUNTS[label] + ' || exit 99; "${@:2}"', "_",
                                   parent] + command
        if label.startswith("a release half put in place"):
            for name in os.listdir(out):
                if name.startswith("haltctl-%s-windows-x" % version):
                    os.unlink(os.path.join(out, name))
        mode = owner_and_mode(out)
        lock = os.open(parent, os.O_RDONLY)
        if label.startswith("another release"):
            fcntl.flock(lock, fcntl.LOCK_EX)
        run = subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
        if label.startswith(("SIGTERM", "a file saved")):
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and not any(
                    n.startswith(".out.haltctl-new-") and os.listdir(os.path.join(parent, n))
                    for n in os.listdir(parent)):
                time.sleep(0.05)
            if label.startswith("SIGTERM"):
                run.send_signal(signal.SIGTERM)
            else:
                plant(out, {"NOTES.txt": NOTES})
        output = run.communicate()[0]
        os.close(lock)
        if disk:
            with open(listing) as f:
                after = {name[2:]: digest for digest, name in
                         (line.rstrip("\n").split("  ", 1) for line in f)}
        else:
            after = hashes(out)
        left = [n for n in os.listdir(parent) if n.startswith(".out.haltctl-")]
        problems = []
        if run.returncode != status or message not in output:
            problems.append("status %d, expected %d with '%s'" % (run.returncode, status, message))
        if kept == "all" and after != before:
            problems.append("the folder changed: %s" % sorted(
                n for n in set(after) | set(before) if after.get(n) != before.get(n)))
        if kept == "new":
            check = subprocess.run(["sha256sum", "-c", "--quiet", "SHA256SUMS"], cwd=out,
                                   capture_output=True, text=True)
            old = [n for n in after if version in n]
            if old or check.returncode != 0:
                problems.append("the %s release (%s) stayed, or the new one does not check: "
                                "%s" % (version, old, check.stdout))
        if label.startswith("a file saved") and after.get("NOTES.txt") != hashlib.sha256(
                NOTES).hexdigest():
            problems.append("NOTES.txt, saved during the run, is gone or changed")
        if holds == "empty" and owner_and_mode(out) != mode:
            problems.append("the folder's mode or owner changed")
        if left:
            problems.append("left %s" % left)
        last = (output.strip().splitlines() or [""])[-1]
        print("%-4s replacing: %s: status %d, %s" % ("FAIL" if problems else "ok", label,
                                                     run.returncode, last[:140]))
        if problems:
            failures.append("replacing, %s: %s\n%s" % (label, "; ".join(problems), output))
    return failures


def shared_folders(build, work):
    """Release tests that use one folder (the same, or one inside the
    other) must never run at once, even under ctest -j: each such pair is
    ordered by a fixture or shares a resource lock."""
    # Asked of a copy of the test files: ctest rewrites the log of the
    # folder it runs in, which is the running ctest's own.
    copy = os.path.join(work, "ctest")
    for folder in ("", "tests"):
        os.makedirs(os.path.join(copy, folder), exist_ok=True)
        shutil.copy(os.path.join(build, folder, "CTestTestfile.cmake"),
                    os.path.join(copy, folder))
    listing = json.loads(subprocess.run(["ctest", "--show-only=json-v1"], cwd=copy,
                                        check=True, capture_output=True, text=True).stdout)
    tests = {}
    for test in listing["tests"]:
        if test["name"].startswith("release_"):
            properties = {p["name"]: p["value"] for p in test.get("properties", [])}
            tests[test["name"]] = (
                {os.path.normpath(a) for a in test["command"][2:] if os.path.isabs(a)},
                *(set(properties.get(k, [])) for k in ("RESOURCE_LOCK", "FIXTURES_SETUP",
                                                       "FIXTURES_REQUIRED")))

    def overlap(x, y):
        return any(a == b or a.startswith(b + os.sep) or b.startswith(a + os.sep)
                   for a in x for b in y)

    failures = []
    for a, (folders, locks, setup, required) in sorted(tests.items()):
        for b, (other, other_locks, other_setup, other_required) in sorted(tests.items()):
            if a < b and overlap(folders, other) and not locks & other_locks and \
                    not setup & other_required and not other_setup & required:
                failures.append("%s and %s share a folder, but neither a fixture nor a "
                                "RESOURCE_LOCK keeps them apart" % (a, b))
    return failures


def main():
    source, work, build, version = sys.argv[1:5]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.environ.get("TMPDIR") or os.path.join(work, "tmp"), exist_ok=True)
    failures = shared_folders(build, work)
    clones = [os.path.join(work, name) for name, _, _ in RUNS]
    print("packaging %s twice" % clone_working_tree(source, clones[0]))
    subprocess.run(["git", "clone", "-q", clones[0], clones[1]], check=True)
    failures += refusals(clones[1], work)

    # The first run replaces an earlier release in build/packages, the
    # tools' own folder; the second makes the relative folder it is given.
    caller = os.path.join(work, "b caller")
    packages = [os.path.join(clones[0], "build", "packages"), os.path.join(caller, "out")]
    plant(packages[0], EARLIER)
    os.makedirs(caller)
    package(clones[0], *RUNS[0][1:])
    time.sleep(1.5)  # a later second, so that no date can come from the clock
    wrapper = os.path.join(work, "wrapping headers")
    plant(wrapper, {"stdlib.h": b'#include_next <stdlib.h>\n'
                                b'static const char haltctl_wrapped[] __attribute__((used)) = '
                                b'"WRAPPED BY THE CALLER";\n'})
    stale = os.path.join(clones[1], "build", "package", "windows-x64")
    subprocess.run(["cmake", "--preset", "windows-x64", "-B", stale,
                    "-DCMAKE_CXX_FLAGS=-fno-inline"], cwd=clones[1], check=True,
                   capture_output=True)
    package(clones[1], *RUNS[1][1:], caller=caller, out="out",
            env=dict({name: wrapper for name in COMPILER_VARIABLES}, CXXFLAGS="-fno-inline"))
    if "haltctl-0.9.0-windows-x64.zip" in hashes(packages[0]):
        failures.append("the first run did not replace the earlier release: %s"
                        % sorted(hashes(packages[0])))

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
    failures += replacements(clones[0], packages[0], work, version)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
