#!/usr/bin/env python3
"""Makes the release from built executables: per architecture a zip and a
Windows Installer package, optionally Authenticode-signed, the build record
(the source and the Debian packages that made the bytes), SHA256SUMS, and,
with HALTCTL_RELEASE_URL and HALTCTL_HOMEPAGE set, the package managers'
manifests (scripts/manifests.py). scripts/package.sh builds the executables and calls this; it
is the one place that knows about dates, signing and checksums.

    release.py --version 1.0.0 --epoch SOURCE_DATE_EPOCH --source "commit SHA"
               --out DIR --build x64=build/windows-x64 [--build x86=build/windows-x86]
    release.py --check DIR      checks the signing variables, the URLs and the output folder
    release.py --compare-buildinfo RECORD   names packages installed in other versions

Every date in the artifacts is the epoch; every identifier derives from the
version, the architecture and the files (the MSI's ProductCode from the
version and the architecture, its package code from all three). Signing
happens when HALTCTL_SIGN_PFX names a PKCS#12 file (password in the file
HALTCTL_SIGN_PASSWORD_FILE names, if set; timestamp server
HALTCTL_SIGN_TIMESTAMP_URL, if set); any of the three set without a usable
PFX is an error.

Everything is made in a folder of the run's own inside DIR, which the run
locks. Only when all of it succeeded is it published, by renames: the
earlier release moves aside and the new one in, all or nothing. The earlier
release is what its own record names (the files its SHA256SUMS lists, and
manifests/ by the record inside it); nothing else in DIR is ever moved or
removed, and DIR may neither be nor hold the source tree.
"""
import argparse
import fcntl
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import uuid
import zipfile

from debian import deb822

import manifests

SOURCE = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
PACKAGING = os.path.join(SOURCE, "packaging")
FILES = ["haltctl.exe", "LICENSE.txt", "README.txt", "THIRD-PARTY-NOTICES.txt"]
# The tools and libraries whose version can change the bytes, besides the
# runtime files each link map names: compilers, linkers, resource
# compilers, the MSI tools, the signer, the interpreter (its zipfile and
# zlib) and pefile, which rewrites the image header.
BYTE_TOOLS = ["x86_64-w64-mingw32-g++-win32", "i686-w64-mingw32-g++-win32",
              "x86_64-w64-mingw32-ld", "i686-w64-mingw32-ld", "x86_64-w64-mingw32-dlltool",
              "i686-w64-mingw32-dlltool", "x86_64-w64-mingw32-windres",
              "i686-w64-mingw32-windres", "wixl", "msibuild", "osslsigncode"]
BYTE_LIBRARIES = re.compile(r"/lib(msi|gcab|gsf|z)[-.]")  # of wixl and msibuild
# Names the GUIDs below derive from; never change it, or upgrades break.
NAMESPACE = uuid.UUID("0c8e3b0a-54a3-4e0f-9d55-5a3c1f6f2b9e")
MSI_TEMPLATE = {"x64": "x64;1033", "x86": "Intel;1033"}
# The system PATH gains the install folder; removal takes out that part.
ENVIRONMENT_TABLE = ("Environment\tName\tValue\tComponent_\n"
                     "s72\tl255\tL255\ts72\n"
                     "Environment\tEnvironment\n"
                     "PATH\t=-*PATH\t[~];[INSTALLDIR]\thaltctl\n")
ENVIRONMENT_ACTIONS = [("RemoveEnvironmentStrings", 3300), ("WriteEnvironmentStrings", 5200)]


class ReleaseError(Exception):
    pass


class PartialRelease(ReleaseError):
    """Publishing failed and the earlier release could not be put back."""


def run(command, **kwargs):
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    if run.returncode != 0:
        raise ReleaseError("%s failed with status %d:\n%s"
                           % (" ".join(command), run.returncode,
                              run.stdout.decode("utf-8", "replace")))
    return run.stdout.decode("utf-8", "replace")


def at_epoch(epoch, command):
    """The command run as if the clock read the epoch, in UTC: wixl and
    msibuild stamp the current time into what they write. File times stay
    real (NO_FAKE_STAT): wixl dates the files in its cabinet from them, and
    they already are the epoch, where libfaketime 0.9.10 and later would
    fake them too."""
    return ["env", "TZ=UTC", "NO_FAKE_STAT=1", "faketime", "-f", "@" + time.strftime(
        "%Y-%m-%d %H:%M:%S", time.gmtime(epoch))] + command


SIGNING = ["HALTCTL_SIGN_PFX", "HALTCTL_SIGN_PASSWORD_FILE", "HALTCTL_SIGN_TIMESTAMP_URL"]


def signing_options():
    """All or nothing: a release meant to be signed never comes out unsigned
    because one variable was lost or mistyped."""
    given = [name for name in SIGNING if name in os.environ]
    if not given:
        return None
    pfx = os.environ.get("HALTCTL_SIGN_PFX")
    if not pfx:
        raise ReleaseError("%s set, but HALTCTL_SIGN_PFX %s: set it to the PKCS#12 file to "
                           "sign with, or unset them all for an unsigned release"
                           % (" and ".join(given), "is empty" if pfx == "" else "is not"))
    if not os.path.isfile(pfx):
        raise ReleaseError("HALTCTL_SIGN_PFX names %s, which is not a file" % pfx)
    options = ["-pkcs12", pfx, "-n", "haltctl", "-h", "sha256"]
    password = os.environ.get("HALTCTL_SIGN_PASSWORD_FILE")
    if password is not None:
        if not os.path.isfile(password):
            raise ReleaseError("HALTCTL_SIGN_PASSWORD_FILE names %s, which is not a file"
                               % password)
        options += ["-readpass", password]
    url = os.environ.get("HALTCTL_SIGN_TIMESTAMP_URL")
    if url:
        options += ["-t", url]
    return options


def sign(path, options):
    signed = path + ".signed"
    run(["osslsigncode", "sign"] + options + ["-in", path, "-out", signed])
    os.replace(signed, path)


def stage(build, folder, epoch, signing):
    """Copies the three files to ship into folder, signs the executable, and
    gives each the epoch as its date and a fixed mode."""
    os.makedirs(folder)
    for name in FILES:
        shutil.copyfile(os.path.join(build, name), os.path.join(folder, name))
    if signing:
        sign(os.path.join(folder, "haltctl.exe"), signing)
    for name in FILES:
        path = os.path.join(folder, name)
        os.chmod(path, 0o644)
        os.utime(path, (epoch, epoch))


def write_zip(path, entries, epoch):
    """The entries [(name, bytes)] in their order, dated the epoch, with
    fixed attributes: nothing of the machine, the folder, the umask or the
    time zone."""
    date = time.gmtime(max(epoch, 315532800))  # zip dates start in 1980
    stamp = date[:5] + (date[5] // 2 * 2,)  # and keep even seconds
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in entries:
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.create_system = 0
            entry.external_attr = 0x20  # the MS-DOS archive attribute
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data, compresslevel=9)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def digest(folder, version, arch):
    digest = hashlib.sha256(("%s/%s" % (version, arch)).encode())
    for name in FILES:
        with open(os.path.join(folder, name), "rb") as f:
            digest.update(name.encode() + b"\0" + f.read())
    return digest.hexdigest()


def guid(name):
    return "{%s}" % str(uuid.uuid5(NAMESPACE, name)).upper()


def write_msi(folder, path, version, arch, epoch, scratch):
    product_code = guid("product/%s/%s" % (version, arch))
    package_code = guid("package/" + digest(folder, version, arch))
    run(at_epoch(epoch, ["wixl", "-a", arch, "-D", "Version=" + version, "-D", "Arch=" + arch,
                        "-D", "ProductCode=" + product_code.strip("{}"), "-o", path,
                        os.path.join(PACKAGING, "haltctl.wxs")]), cwd=folder)

    # wixl takes no <Environment>: the PATH row and the two actions that
    # write and remove it are added to the package it made.
    tables = os.path.join(scratch, "tables-" + arch)
    os.makedirs(tables)
    with open(os.path.join(tables, "Environment.idt"), "w", newline="\r\n") as f:
        f.write(ENVIRONMENT_TABLE)
    sequence = run(["msiinfo", "export", path, "InstallExecuteSequence"])
    with open(os.path.join(tables, "InstallExecuteSequence.idt"), "w", newline="\r\n") as f:
        f.write(sequence.replace("\r\n", "\n"))
        for action, number in ENVIRONMENT_ACTIONS:
            f.write("%s\t\t%d\n" % (action, number))
    run(at_epoch(epoch, ["msibuild", path, "-i", os.path.join(tables, "Environment.idt"),
                        "-i", os.path.join(tables, "InstallExecuteSequence.idt")]))
    run(at_epoch(epoch, ["msibuild", path, "-s", "haltctl %s" % version, "the haltctl developers",
                        MSI_TEMPLATE[arch], package_code]))


def owners(paths):
    """{package: version} of the Debian packages that installed the files,
    from dpkg's own list of every installed package's files, read in a
    fixed format. A package that can be installed for several architectures
    at once is named with its own. With /usr merged, dpkg may know a file
    by its path without /usr."""
    listing = run(["dpkg-query", "-W", "-f=${binary:Package}\t${Version}\n${db-fsys:Files}"])
    owner_of = {}
    package = None
    for line in listing.splitlines():
        if line.startswith(" "):
            owner_of.setdefault(line.strip(), []).append(package)
        elif "\t" in line:
            package = tuple(line.split("\t", 1))
    versions = {}
    for path in paths:
        found = owner_of.get(path) or owner_of.get(re.sub(r"^/usr/", "/", path))
        if not found:
            raise ReleaseError("no Debian package owns %s" % path)
        for name, version in found:
            versions[name] = version  # zlib1g:amd64 where zlib1g:i386 may be installed too
    return dict(sorted(versions.items()))


def build_packages(builds):
    """The packages whose versions can change the release's bytes: those of
    the tools, the libraries wixl and msibuild write with, the interpreter,
    pefile, and every runtime file each link map names."""
    import pefile  # the build's post-link step rewrites the header with it
    paths = [os.path.realpath(sys.executable), os.path.realpath(pefile.__file__)]
    for tool in BYTE_TOOLS:
        found = shutil.which(tool)
        if found is None:
            raise ReleaseError("%s is not installed" % tool)
        paths.append(os.path.realpath(found))
        if tool in ("wixl", "msibuild"):
            ldd = run(["ldd", found])
            paths += [os.path.realpath(m.group(1)) for m in re.finditer(r"=> (/\S+)", ldd)
                      if BYTE_LIBRARIES.search(m.group(1))]
    for build in builds.values():
        with open(os.path.join(build, "haltctl.map"), errors="replace") as f:
            paths += {os.path.realpath(m.group(1))
                      for m in re.finditer(r"^(?:LOAD )?(/usr/\S+?\.(?:a|o))\b", f.read(), re.M)}
    return owners(sorted(set(paths)))


def os_release():
    with open("/etc/os-release") as f:
        return dict(re.findall(r'^(\w+)="?([^"\n]*)"?$', f.read(), re.M))


def write_build_info(path, version, epoch, source, builds):
    """The build record, after Debian's .buildinfo: what the release was
    made from, and with which packages, so that anyone can make it again."""
    record = deb822.Deb822()
    record["Format"] = "1.0"
    record["Package"] = "haltctl"
    record["Version"] = version
    record["Source"] = source
    record["Source-Date-Epoch"] = str(epoch)
    record["Build-Release"] = os_release().get("PRETTY_NAME", "unknown")
    record["Build-Architecture"] = run(["dpkg", "--print-architecture"]).strip()
    record["Installed-Build-Depends"] = "\n" + ",\n".join(
        " %s (= %s)" % item for item in build_packages(builds).items())
    with open(path, "w", newline="\n") as f:
        f.write(record.dump())


def recorded_packages(record):
    """{package: version} of a build record's Installed-Build-Depends."""
    return {relation[0]["name"] + (":" + relation[0]["archqual"]
                                   if relation[0].get("archqual") else ""):
            relation[0]["version"][1]
            for relation in deb822.PkgRelation.parse_relations(
                record.get("Installed-Build-Depends", ""))}


def compare_build_info(path):
    """Names each package whose installed version differs from a build
    record's, before a build that means to give that record's bytes."""
    with open(path) as f:
        record = deb822.Deb822(f)
    recorded = recorded_packages(record)
    if not recorded:
        raise ReleaseError("%s lists no Installed-Build-Depends" % path)
    here = os_release().get("PRETTY_NAME", "unknown")
    if record.get("Build-Release", here) != here:
        print("package: the record was made on %s, this is %s" % (record["Build-Release"], here))
    differ = 0
    for package, version in sorted(recorded.items()):
        query = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                               capture_output=True, text=True)
        installed = query.stdout.strip() if query.returncode == 0 else "not installed"
        if installed != version:
            differ += 1
            print("package: %s is %s here, %s in the record" % (package, installed, version))
    print("package: %s of the record's %d packages differ%s"
          % (differ or "none", len(recorded),
             ": the bytes may differ too" if differ else ""), flush=True)


def check_output_folder(out):
    """A release never goes where publishing it could touch the sources."""
    out = os.path.realpath(out)
    if os.path.commonpath([SOURCE, out]) == out:
        raise ReleaseError("the output folder %s %s the source tree %s: give a folder of its "
                           "own, such as build/packages" % (out, "is" if out == SOURCE
                                                             else "holds", SOURCE))


def lock_output_folder(out):
    """Holds a lock on the output folder for the rest of the process: a
    second release into the same folder stops at once."""
    descriptor = os.open(out, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise ReleaseError("another release is being written into %s: wait for it to end" % out)
    return descriptor


def earlier_release(out):
    """The entries of out that an earlier release made, by its own record:
    the package files its SHA256SUMS lists, SHA256SUMS itself, and
    manifests/ when that folder's record lists every file in it. Folders,
    links and files no record names never count as its own."""
    def regular(path):
        return os.path.isfile(path) and not os.path.islink(path)

    found = []
    sums = os.path.join(out, "SHA256SUMS")
    if regular(sums):
        with open(sums, errors="replace") as f:
            for line in f:
                listed = re.fullmatch(r"[0-9a-f]{64}  (haltctl-[^/\\]+)", line.rstrip("\n"))
                if listed and regular(os.path.join(out, listed.group(1))):
                    found.append(listed.group(1))
        found.append("SHA256SUMS")
    folder = os.path.join(out, "manifests")
    record = os.path.join(folder, manifests.RECORD)
    if os.path.isdir(folder) and not os.path.islink(folder) and regular(record):
        with open(record) as f:
            listed = set(f.read().splitlines()) | {manifests.RECORD}
        held = {os.path.relpath(os.path.join(d, n), folder)
                for d, _, names in os.walk(folder) for n in names}
        if held <= listed:
            found.append("manifests")
    return sorted(found)


def publish(scratch, out, made, earlier):
    """Moves the earlier release aside and the new one in, by renames in
    one file system: either every new entry is in place, or the earlier
    release is back as it was. Refuses, before moving anything, an entry
    of out in the way that no earlier release made."""
    for name in made:
        if os.path.lexists(os.path.join(out, name)) and name not in earlier:
            raise ReleaseError("%s is in the way and no earlier release made it (%s): move it "
                               "away or choose another output folder"
                               % (os.path.join(out, name),
                                  "a folder" if os.path.isdir(os.path.join(out, name))
                                  else "not listed in its SHA256SUMS or manifests record"))
    aside = tempfile.mkdtemp(prefix=".haltctl-earlier-", dir=out)
    moves = []  # (from, to) done so far
    try:
        for name in earlier:
            moves.append((os.path.join(out, name), os.path.join(aside, name)))
            os.rename(*moves[-1])
        for name in made:
            moves.append((os.path.join(scratch, name), os.path.join(out, name)))
            os.rename(*moves[-1])
    except OSError as error:
        failed = moves.pop()
        try:
            for source, target in reversed(moves):
                os.rename(target, source)
            os.rmdir(aside)
        except OSError as undo:
            raise PartialRelease("publishing failed at %s (%s), and so did putting the earlier "
                               "release back (%s): %s now holds a mix; the earlier release's "
                               "files not in it are in %s" % (failed[1], error, undo, out, aside))
        raise ReleaseError("publishing failed at %s: %s" % (failed[1], error))
    shutil.rmtree(aside)


def release(version, epoch, source, builds, out):
    signing = signing_options()
    url, homepage = (os.environ.get(v) for v in ("HALTCTL_RELEASE_URL", "HALTCTL_HOMEPAGE"))
    check_output_folder(out)
    print("release: %s; dates from SOURCE_DATE_EPOCH %d (%s UTC)"
          % ("signing with " + os.environ["HALTCTL_SIGN_PFX"] if signing
             else "unsigned: set HALTCTL_SIGN_PFX to sign", epoch,
             time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch))), flush=True)
    # Everything is made in a folder of this run's own inside out, so that
    # publishing is renames that need no space.
    lock = lock_output_folder(out)
    scratch = tempfile.mkdtemp(prefix=".haltctl-release-", dir=out)
    try:
        made = []
        for arch, build in sorted(builds.items()):
            folder = os.path.join(scratch, arch)
            stage(build, folder, epoch, signing)
            stem = "haltctl-%s-windows-%s" % (version, arch)
            write_zip(os.path.join(scratch, stem + ".zip"),
                      [(name, read(os.path.join(folder, name))) for name in FILES], epoch)
            msi = os.path.join(scratch, stem + ".msi")
            write_msi(folder, msi, version, arch, epoch, scratch)
            if signing:
                sign(msi, signing)
            made += [stem + ".zip", stem + ".msi"]
        made.append("haltctl-%s-buildinfo.txt" % version)
        write_build_info(os.path.join(scratch, made[-1]), version, epoch, source, builds)
        made.sort()
        with open(os.path.join(scratch, "SHA256SUMS"), "w") as sums:
            for name in made:
                sums.write("%s  %s\n" % (hashlib.sha256(read(os.path.join(scratch, name)))
                                          .hexdigest(), name))
        made.append("SHA256SUMS")
        if url and homepage:
            listed = manifests.write(scratch, url, homepage, write_zip, epoch)
            made.append("manifests")
        else:
            listed = []
            print("release: no package-manager manifests: they need HALTCTL_RELEASE_URL (the web "
                  "folder the files will be published in) and HALTCTL_HOMEPAGE", flush=True)
        publish(scratch, out, made, earlier_release(out))
        for name in [n for n in made if n != "manifests"] + listed:
            print("%s  %d bytes" % (os.path.join(out, name), os.path.getsize(os.path.join(out, name))))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
        os.close(lock)


def main():
    if sys.argv[1:2] in (["--check"], ["--compare-buildinfo"]):  # before building
        try:
            if sys.argv[1] == "--compare-buildinfo":
                compare_build_info(sys.argv[2])
                return 0
            signing_options()
            url, homepage = (os.environ.get(v) for v in ("HALTCTL_RELEASE_URL", "HALTCTL_HOMEPAGE"))
            if url or homepage:
                manifests.check_urls(url, homepage)
            check_output_folder(sys.argv[2])
        except (ReleaseError, manifests.ManifestError, OSError) as error:
            print("release: %s" % error, file=sys.stderr)
            return 1
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--epoch", required=True, type=int)
    parser.add_argument("--source", required=True, help="what the release is made from")
    parser.add_argument("--out", required=True)
    parser.add_argument("--build", action="append", required=True, metavar="ARCH=FOLDER")
    options = parser.parse_args()
    builds = {arch: os.path.abspath(folder)
              for arch, folder in (b.split("=", 1) for b in options.build)}
    out = os.path.abspath(options.out)
    made_out = not os.path.isdir(out)
    try:
        os.makedirs(out, exist_ok=True)
        release(options.version, options.epoch, options.source, builds, out)
    except PartialRelease as error:
        print("release: FAILED: %s" % error, file=sys.stderr)
        return 1
    except (ReleaseError, manifests.ManifestError, OSError,
            subprocess.CalledProcessError) as error:
        if made_out and os.path.isdir(out) and not os.listdir(out):
            os.rmdir(out)
        left = earlier_release(out) if os.path.isdir(out) else []
        print("release: FAILED, nothing in %s was changed%s: %s"
              % (out, "; it still holds the earlier release (%s)" % ", ".join(left)
                 if left else "", error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
