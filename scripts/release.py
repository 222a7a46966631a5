#!/usr/bin/env python3
"""Makes the release from built executables: per architecture a zip and a
Windows Installer package, optionally Authenticode-signed, the build record
(the source and the Debian packages that made the bytes), SHA256SUMS, and,
with HALTCTL_RELEASE_URL and HALTCTL_HOMEPAGE set, the package managers'
manifests (scripts/manifests.py). scripts/package.sh builds the executables and calls this; it
is the one place that knows about dates, signing and checksums.

    release.py --version 1.0.0 --epoch SOURCE_DATE_EPOCH --source "commit SHA"
               --out DIR --scratch DIR
               --build x64=build/windows-x64 [--build x86=build/windows-x86]
    release.py --check-signing      only checks the signing variables
    release.py --compare-buildinfo RECORD   names packages installed in other versions

Every date in the artifacts is the epoch; every identifier derives from the
version, the architecture and the files (the MSI's ProductCode from the
version and the architecture, its package code from all three). Signing
happens when HALTCTL_SIGN_PFX names a PKCS#12 file (password in the file
HALTCTL_SIGN_PASSWORD_FILE names, if set; timestamp server
HALTCTL_SIGN_TIMESTAMP_URL, if set); any of the three set without a usable
PFX is an error. Everything is made in the scratch folder, emptied first and
removed at the end; only when all of it succeeded does the earlier release
in DIR (its haltctl-* files and SHA256SUMS) make way for the new one.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time
import uuid
import zipfile

import manifests

PACKAGING = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "packaging")
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
    """{package: version} of the Debian packages that installed the files.
    With /usr merged, dpkg may know a file by its path without /usr."""
    owners = set()
    for path in paths:
        for candidate in (path, re.sub(r"^/usr/", "/", path)):
            query = subprocess.run(["dpkg-query", "-S", candidate], capture_output=True,
                                   text=True)
            if query.returncode == 0:
                for line in query.stdout.splitlines():
                    owners.update(p.strip() for p in line.rsplit(": ", 1)[0].split(","))
                break
        else:
            raise ReleaseError("no Debian package owns %s" % path)
    versions = {}
    for owner in sorted(owners):
        versions[owner.split(":")[0]] = run(["dpkg-query", "-W", "-f=${Version}", owner]).strip()
    return versions


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
    architecture = run(["dpkg", "--print-architecture"]).strip()
    packages = build_packages(builds)
    with open(path, "w", newline="\n") as f:
        f.write("Format: 1.0\nPackage: haltctl\nVersion: %s\nSource: %s\n"
                "Source-Date-Epoch: %d\nBuild-Release: %s\nBuild-Architecture: %s\n"
                "Installed-Build-Depends:\n%s\n"
                % (version, source, epoch, os_release().get("PRETTY_NAME", "unknown"),
                   architecture, ",\n".join(" %s (= %s)" % item for item in packages.items())))


def compare_build_info(path):
    """Names each package whose installed version differs from a build
    record's, before a build that means to give that record's bytes."""
    with open(path) as f:
        text = f.read()
    recorded = dict(re.findall(r"^ (\S+) \(= ([^)]+)\),?$", text, re.M))
    if not recorded:
        raise ReleaseError("%s lists no Installed-Build-Depends" % path)
    release = re.search(r"^Build-Release: (.*)$", text, re.M)
    here = os_release().get("PRETTY_NAME", "unknown")
    if release and release.group(1) != here:
        print("package: the record was made on %s, this is %s" % (release.group(1), here))
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


def earlier(out):
    """The files of an earlier release in the output folder."""
    if not os.path.isdir(out):
        return []
    return sorted(n for n in os.listdir(out)
                  if n.startswith("haltctl-") or n in ("SHA256SUMS", "manifests"))


def release(version, epoch, source, builds, out, scratch):
    signing = signing_options()
    print("release: %s; dates from SOURCE_DATE_EPOCH %d (%s UTC)"
          % ("signing with " + os.environ["HALTCTL_SIGN_PFX"] if signing
             else "unsigned: set HALTCTL_SIGN_PFX to sign", epoch,
             time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch))), flush=True)
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
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
        url, homepage = (os.environ.get(v) for v in ("HALTCTL_RELEASE_URL", "HALTCTL_HOMEPAGE"))
        if url and homepage:
            listed = manifests.write(scratch, url, homepage, write_zip, epoch)
            made.append("manifests")
        else:
            listed = []
            print("release: no package-manager manifests: they need HALTCTL_RELEASE_URL (the web "
                  "folder the files will be published in) and HALTCTL_HOMEPAGE", flush=True)
        # Complete: only now does the earlier release make way.
        os.makedirs(out, exist_ok=True)
        for name in earlier(out):
            path = os.path.join(out, name)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        for name in made:
            shutil.move(os.path.join(scratch, name), os.path.join(out, name))
        for name in [n for n in made if n != "manifests"] + listed:
            print("%s  %d bytes" % (os.path.join(out, name), os.path.getsize(os.path.join(out, name))))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def main():
    if sys.argv[1:2] in (["--check-signing"], ["--compare-buildinfo"]):  # before building
        try:
            if sys.argv[1] == "--check-signing":
                signing_options()
            else:
                compare_build_info(sys.argv[2])
        except (ReleaseError, OSError) as error:
            print("release: %s" % error, file=sys.stderr)
            return 1
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--epoch", required=True, type=int)
    parser.add_argument("--source", required=True, help="what the release is made from")
    parser.add_argument("--out", required=True)
    parser.add_argument("--scratch", required=True, help="a folder of its own, emptied first")
    parser.add_argument("--build", action="append", required=True, metavar="ARCH=FOLDER")
    options = parser.parse_args()
    builds = {arch: os.path.abspath(folder)
              for arch, folder in (b.split("=", 1) for b in options.build)}
    out = os.path.abspath(options.out)
    try:
        release(options.version, options.epoch, options.source, builds, out,
                os.path.abspath(options.scratch))
    except (ReleaseError, manifests.ManifestError, OSError,
            subprocess.CalledProcessError) as error:
        left = earlier(out)
        print("release: FAILED, nothing was written to %s%s: %s"
              % (out, "; it still holds an earlier release (%s)" % ", ".join(left)
                 if left else "", error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
