#!/usr/bin/env python3
"""Makes the release from built executables: per architecture a zip and a
Windows Installer package, optionally Authenticode-signed, the build record
(the source and the Debian packages that made the bytes), SHA256SUMS, and,
with HALTCTL_RELEASE_URL and HALTCTL_HOMEPAGE set, the package managers'
manifests (scripts/release/manifests.py). scripts/package.sh builds the
executables and calls this; it is the one place that knows about dates,
signing and checksums.

    release.py --version X.Y.Z --epoch SOURCE_DATE_EPOCH --source "commit SHA"
               --out DIR [--owned] --build x64=build/windows-x64 [--build ...]
    release.py --check DIR [--owned]   checks the signing variables, the URLs
                                       and the output folder
    release.py --compare-buildinfo RECORD   names packages installed in
                                            other versions

Every date in the artifacts is the epoch; every identifier derives from the
version, the architecture and the files (the MSI's ProductCode from the
version and the architecture, its package code from all three). Signing
happens when HALTCTL_SIGN_PFX names a PKCS#12 file (password in the file
HALTCTL_SIGN_PASSWORD_FILE names, if set; timestamp server
HALTCTL_SIGN_TIMESTAMP_URL, if set); any of the three set without a usable
PFX is an error.

DIR must be new or empty, and is never replaced, unless --owned names it
the tools' own (package.sh does for build/packages): an earlier release
there is replaced (scripts/environment/owned_folder.py). DIR may not touch
the sources (only build/ may hold it) nor build/package.
"""
import argparse
import glob
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "environment"))
import owned_folder

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
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
# Each build's own tools, from its CMake cache (for ARM64, the release's
# LLVM, whose folder names its version).
BUILD_TOOLS = re.compile(r"^CMAKE_(?:CXX_COMPILER|RC_COMPILER|DLLTOOL|LINKER):\w+=(/\S+)$", re.M)
BYTE_LIBRARIES = re.compile(r"/lib(msi|gcab|gsf|z)[-.]")  # of wixl and msibuild
# Names the GUIDs below derive from; never change it, or upgrades break.
NAMESPACE = uuid.UUID("0c8e3b0a-54a3-4e0f-9d55-5a3c1f6f2b9e")
MSI_TEMPLATE = {"x64": "x64;1033", "x86": "Intel;1033", "arm64": "Arm64;1033"}
# wixl knows no ARM64: that package is built as an x64 one (64-bit folders
# and components), then its Template names ARM64, which Windows Installer
# reads from schema 500 on.
WIXL_ARCH = {"x64": "x64", "x86": "x86", "arm64": "x64"}


class ReleaseError(Exception):
    pass


class PartialRelease(ReleaseError):
    """Publishing failed half-way: the text says what is where."""


def run(command, **kwargs):
    """Runs command; returns its output, or fails with it."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    if done.returncode != 0:
        raise ReleaseError("%s failed with status %d:\n%s"
                           % (" ".join(command), done.returncode,
                              done.stdout.decode("utf-8", "replace")))
    return done.stdout.decode("utf-8", "replace")


def at_epoch(epoch, command):
    """The command run as if the clock read the epoch, in UTC: wixl and
    msibuild stamp the current time into what they write. File times stay
    real (NO_FAKE_STAT): wixl dates the files in its cabinet from them, and
    they already are the epoch, where libfaketime 0.9.10 and later would
    fake them too. libfaketime is preloaded itself: the faketime wrapper
    leaves a semaphore in /dev/shm when it is killed, and a later wrapper
    whose process id is the same then fails."""
    library, = glob.glob("/usr/lib/*/faketime/libfaketime.so.1")[:1] or ["libfaketime.so.1"]
    return ["env", "TZ=UTC", "NO_FAKE_STAT=1", "LD_PRELOAD=" + library, "FAKETIME=@"
            + time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch))] + command


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
    """Copies the files to ship into folder, signs the executable, and
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
    """A hash of the version, the architecture and the files shipped."""
    hashed = hashlib.sha256(("%s/%s" % (version, arch)).encode())
    for name in FILES:
        with open(os.path.join(folder, name), "rb") as f:
            hashed.update(name.encode() + b"\0" + f.read())
    return hashed.hexdigest()


def guid(name):
    return "{%s}" % str(uuid.uuid5(NAMESPACE, name)).upper()


def write_msi(folder, path, version, arch, epoch, scratch):
    product_code = guid("product/%s/%s" % (version, arch))
    package_code = guid("package/" + digest(folder, version, arch))
    run(at_epoch(epoch, ["wixl", "-a", WIXL_ARCH[arch], "-D", "Version=" + version,
                         "-D", "Arch=" + arch,
                         "-D", "ProductCode=" + product_code.strip("{}"), "-o", path,
                         os.path.join(PACKAGING, "haltctl.wxs")]), cwd=folder)

    # wixl takes no <Environment>: the installer's PATH entry and the two
    # actions that write and remove it are tables beside the .wxs, imported
    # into the package wixl made (the actions added to its own sequence).
    tables = os.path.join(scratch, "tables-" + arch)
    os.makedirs(tables)
    with open(os.path.join(PACKAGING, "Environment.idt")) as f:
        environment = f.read()
    with open(os.path.join(PACKAGING, "InstallExecuteSequence.idt")) as f:
        actions = f.read().splitlines(keepends=True)[3:]  # its rows, past the header
    with open(os.path.join(tables, "Environment.idt"), "w", newline="\r\n") as f:
        f.write(environment)
    sequence = run(["msiinfo", "export", path, "InstallExecuteSequence"])
    with open(os.path.join(tables, "InstallExecuteSequence.idt"), "w", newline="\r\n") as f:
        f.write(sequence.replace("\r\n", "\n") + "".join(actions))
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
    pefile, every header each build read and every runtime file each link
    map names."""
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
        with open(os.path.join(build, "CMakeCache.txt"), errors="replace") as f:
            paths += [os.path.realpath(tool) for tool in BUILD_TOOLS.findall(f.read())]
        # Every header the compilers read, as ninja recorded them.
        deps = run(["ninja", "-C", build, "-t", "deps"])
        paths += {os.path.realpath(p) for p in re.findall(r"^ +(/usr/\S+)$", deps, re.M)}
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


# In the output folder: every entry the release made there.
RECORD = ".haltctl-release"


def check_output_folder(out, owned):
    """The output folder may not touch the sources or the packaging's own
    work folder, and must be one the release can fill without losing
    anything of anyone's (owned_folder.check)."""
    out = os.path.abspath(out)
    real = os.path.realpath(out)
    build = os.path.join(SOURCE, "build")
    work = os.path.join(build, "package")

    def within(path, folder):
        return os.path.commonpath([path, folder]) == folder

    if within(SOURCE, real):
        raise ReleaseError("the output folder %s %s the source tree %s: give a folder of its "
                           "own, such as build/packages"
                           % (out, "is" if real == SOURCE else "holds", SOURCE))
    if within(real, SOURCE) and not within(real, build):
        raise ReleaseError("the output folder %s lies among the sources in %s: give a folder "
                           "of its own, such as build/packages" % (out, SOURCE))
    if within(real, work) or within(work, real):
        raise ReleaseError("the output folder %s %s build/package, the packaging's own work "
                           "folder, which every release wipes: give another, such as "
                           "build/packages" % (out, "is" if real == work else "lies inside"
                                               if within(real, work) else "holds"))
    try:
        owned_folder.check(out, RECORD, owned)
    except owned_folder.Refused as refusal:
        raise ReleaseError("output folder: %s" % refusal)


def say(text):
    print("release: " + text, flush=True)


def write_packages(scratch, work, version, epoch, builds, signing):
    """Per architecture, the zip and the MSI of the staged files, signed
    where signing is set; returns their names."""
    made = []
    for arch, build in sorted(builds.items()):
        folder = os.path.join(work, arch)
        stage(build, folder, epoch, signing)
        stem = "haltctl-%s-windows-%s" % (version, arch)
        write_zip(os.path.join(scratch, stem + ".zip"),
                  [(name, read(os.path.join(folder, name))) for name in FILES], epoch)
        msi = os.path.join(scratch, stem + ".msi")
        write_msi(folder, msi, version, arch, epoch, work)
        if signing:
            sign(msi, signing)
        made += [stem + ".zip", stem + ".msi"]
    return made


def write_sums(folder, names):
    """SHA256SUMS of the named files, in the format sha256sum -c reads."""
    with open(os.path.join(folder, "SHA256SUMS"), "w") as sums:
        for name in sorted(names):
            hashed = hashlib.sha256(read(os.path.join(folder, name))).hexdigest()
            sums.write("%s  %s\n" % (hashed, name))


def publish(scratch, out, owned, made):
    """Puts the release made in scratch into out, and lists it."""
    sizes = [(name, os.path.getsize(os.path.join(scratch, name))) for name in made]
    try:
        kept = owned_folder.publish(scratch, out, RECORD, owned)
    except owned_folder.Partial as error:
        raise PartialRelease(str(error))
    except (OSError, owned_folder.Refused) as error:
        raise ReleaseError("publishing failed: %s" % error)
    if kept:
        say("kept %s, saved into %s while the release was made: the next "
            "release refuses the folder until it is moved away" % (", ".join(kept), out))
    for name, size in sizes:
        print("%s  %d bytes" % (os.path.join(out, name), size))


def release(version, epoch, source, builds, out, owned):
    signing = signing_options()
    url, homepage = (os.environ.get(v) for v in ("HALTCTL_RELEASE_URL", "HALTCTL_HOMEPAGE"))
    check_output_folder(out, owned)
    say("%s; dates from SOURCE_DATE_EPOCH %d (%s UTC)"
        % ("signing with " + os.environ["HALTCTL_SIGN_PFX"] if signing
           else "unsigned: set HALTCTL_SIGN_PFX to sign", epoch,
           time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch))))
    # The release is made in a folder of this run's own beside out, so that
    # publishing it takes renames in one file system.
    try:
        lock = owned_folder.lock_beside(out)
    except owned_folder.Refused:
        raise ReleaseError("another release is being written into %s or beside it: wait for "
                           "it to end" % out)
    scratch = work = None
    try:
        check_output_folder(out, owned)
        scratch = owned_folder.make_beside(out, say)
        # Its scratch files beside out too, where the next run removes
        # what a killed one left.
        work = tempfile.mkdtemp(prefix=owned_folder.NEW % os.path.basename(out),
                                dir=os.path.dirname(out))
        made = write_packages(scratch, work, version, epoch, builds, signing)
        made.append("haltctl-%s-buildinfo.txt" % version)
        write_build_info(os.path.join(scratch, made[-1]), version, epoch, source, builds)
        write_sums(scratch, made)
        made = sorted(made) + ["SHA256SUMS"]
        if url and homepage:
            made += manifests.write(scratch, url, homepage, write_zip, epoch)
        else:
            say("no package-manager manifests: they need HALTCTL_RELEASE_URL (the web "
                "folder the files will be published in) and HALTCTL_HOMEPAGE")
        owned_folder.write_record(scratch, RECORD)
        publish(scratch, out, owned, made)
    finally:
        for folder in (scratch, work):
            if folder:
                shutil.rmtree(folder, ignore_errors=True)
        os.close(lock)


def main():
    if sys.argv[1:2] in (["--check"], ["--compare-buildinfo"]):  # before building
        try:
            if sys.argv[1] == "--compare-buildinfo":
                compare_build_info(sys.argv[2])
                return 0
            signing_options()
            url, homepage = (os.environ.get(v)
                             for v in ("HALTCTL_RELEASE_URL", "HALTCTL_HOMEPAGE"))
            if url or homepage:
                manifests.check_urls(url, homepage)
            check_output_folder(sys.argv[2], sys.argv[3:] == ["--owned"])
        except (ReleaseError, manifests.ManifestError, OSError) as error:
            print("release: %s" % error, file=sys.stderr)
            return 1
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--epoch", required=True, type=int)
    parser.add_argument("--source", required=True, help="what the release is made from")
    parser.add_argument("--out", required=True)
    parser.add_argument("--owned", action="store_true",
                        help="OUT is the tools' own: an earlier release there is replaced")
    parser.add_argument("--build", action="append", required=True, metavar="ARCH=FOLDER")
    options = parser.parse_args()
    builds = {arch: os.path.abspath(folder)
              for arch, folder in (b.split("=", 1) for b in options.build)}
    out = os.path.abspath(options.out)
    owned_folder.unwind_on_signals()
    try:
        release(options.version, options.epoch, options.source, builds, out, options.owned)
    except PartialRelease as error:
        print("release: FAILED: %s" % error, file=sys.stderr)
        return 1
    except owned_folder.Interrupted as interruption:
        print("release: stopped by %s; %s was not changed" % (interruption, out), file=sys.stderr)
        return 128 + interruption.signum
    except (ReleaseError, manifests.ManifestError, OSError,
            subprocess.CalledProcessError) as error:
        print("release: FAILED, %s was not changed: %s" % (out, error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
