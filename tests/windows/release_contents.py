#!/usr/bin/env python3
"""Checks what a release holds, per architecture, in a clone that
scripts/package.sh has run in: each zip holds exactly haltctl.exe (the built
one), LICENSE.txt and README.txt (CRLF, the title underlined to its length),
all dated the last commit; each MSI installs the built executable into a
haltctl folder under the right Program Files, adds that folder to the system
PATH and takes it out again, upgrades older versions and refuses newer ones,
and carries the commit's date in its summary.

    release_contents.py CLONE VERSION
"""
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile

FILES = ["haltctl.exe", "LICENSE.txt", "README.txt"]
PROGRAM_FILES = {"x64": "ProgramFiles64Folder", "x86": "ProgramFilesFolder"}
TEMPLATE = {"x64": "x64;1033", "x86": "Intel;1033"}


def Table(msi, name):
    """Rows of an MSI table as lists of fields, after the three header lines."""
    text = subprocess.run(["msiinfo", "export", msi, name], check=True, capture_output=True,
                          text=True).stdout
    return [line.split("\t") for line in text.replace("\r", "").splitlines()[3:]]


def CheckZip(path, exe, epoch, failures):
    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
        if names != FILES:
            failures.append("%s holds %s" % (path, names))
            return
        if archive.read("haltctl.exe") != exe:
            failures.append("%s: haltctl.exe is not the built executable" % path)
        for text in ("LICENSE.txt", "README.txt"):
            body = archive.read(text)
            if body.count(b"\n") == 0 or body.count(b"\n") != body.count(b"\r\n"):
                failures.append("%s: %s does not end every line with CRLF" % (path, text))
        if b"MIT License" not in archive.read("LICENSE.txt"):
            failures.append("%s: LICENSE.txt is not the MIT licence" % path)
        readme = archive.read("README.txt").split(b"\r\n")
        if readme[1] != b"=" * len(readme[0]) or b"@" in b"".join(readme):
            failures.append("%s: README.txt's title underline or variables are wrong" % path)
        dates = {entry.date_time for entry in archive.infolist()}
        stamp = time.gmtime(epoch)
        if dates != {stamp[:5] + (stamp[5] // 2 * 2,)}:  # zip keeps even seconds
            failures.append("%s: entry dates %s, not the last commit's" % (path, sorted(dates)))


def CheckMsi(path, arch, version, exe, epoch, failures):
    def Expect(ok, what):
        if not ok:
            failures.append("%s: %s" % (os.path.basename(path), what))

    directories = {row[0]: row for row in Table(path, "Directory")}
    install = directories.get("INSTALLDIR", [])
    Expect(install[1:] == [PROGRAM_FILES[arch], "haltctl"],
           "INSTALLDIR is %s, not haltctl under %s" % (install, PROGRAM_FILES[arch]))
    Expect(Table(path, "Environment") == [["PATH", "=-*PATH", "[~];[INSTALLDIR]", "haltctl"]],
           "the Environment table does not append INSTALLDIR to the system PATH")
    sequence = {row[0]: row[2] for row in Table(path, "InstallExecuteSequence")}
    Expect(sequence.get("WriteEnvironmentStrings") == "5200"
           and sequence.get("RemoveEnvironmentStrings") == "3300",
           "the environment actions are not sequenced")
    Expect(int(sequence.get("RemoveExistingProducts", 0)) > 0, "no RemoveExistingProducts")
    properties = {row[0]: row[1] for row in Table(path, "Property")}
    Expect(properties.get("ProductName") == "haltctl" and
           properties.get("ProductVersion") == version and
           properties.get("Manufacturer") == "the haltctl developers",
           "ProductName, ProductVersion or Manufacturer wrong: %s" % properties)
    upgrade = Table(path, "Upgrade")
    code = properties.get("UpgradeCode")
    Expect(sorted(row[6] for row in upgrade if row[0] == code)
           == ["WIX_DOWNGRADE_DETECTED", "WIX_UPGRADE_DETECTED"],
           "the Upgrade table does not detect both older and newer versions: %s" % upgrade)
    conditions = {row[0]: row[1] for row in Table(path, "LaunchCondition")}
    Expect("newer version of haltctl" in conditions.get("NOT WIX_DOWNGRADE_DETECTED", ""),
           "no message refusing a downgrade: %s" % conditions)
    summary = subprocess.run(["msiinfo", "suminfo", path], check=True, capture_output=True,
                             text=True).stdout
    Expect("Template: %s\n" % TEMPLATE[arch] in summary, "summary template is not %s"
           % TEMPLATE[arch])
    created = time.strftime("%a %b %e %H:%M:%S %Y", time.gmtime(epoch))
    Expect(re.search(r"^Created: %s$" % re.escape(created), summary, re.M) is not None,
           "summary creation time is not the last commit's (%s):\n%s" % (created, summary))
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run(["msiextract", "-C", scratch, path], check=True, capture_output=True)
        found = {}
        for folder, _, names in os.walk(scratch):
            for name in names:
                found[name] = os.path.join(folder, name)
        Expect(sorted(found) == sorted(FILES), "the package holds %s" % sorted(found))
        if "haltctl.exe" in found:
            Expect(open(found["haltctl.exe"], "rb").read() == exe,
                   "haltctl.exe in the package is not the built executable")
    return properties.get("ProductCode"), code


def main():
    clone, version = sys.argv[1:3]
    packages = os.path.join(clone, "build", "packages")
    epoch = int(subprocess.run(["git", "-C", clone, "log", "-1", "--format=%ct"], check=True,
                               capture_output=True, text=True).stdout)
    os.environ["TZ"] = "UTC"
    time.tzset()
    failures = []
    codes = {}
    for arch in ("x64", "x86"):
        exe = open(os.path.join(clone, "build", "package", "windows-" + arch, "haltctl.exe"),
                   "rb").read()
        stem = os.path.join(packages, "haltctl-%s-windows-%s" % (version, arch))
        CheckZip(stem + ".zip", exe, epoch, failures)
        codes[arch] = CheckMsi(stem + ".msi", arch, version, exe, epoch, failures)
        print("%s: ProductCode %s, UpgradeCode %s" % (arch, codes[arch][0], codes[arch][1]))
    if len({c for pair in codes.values() for c in pair}) != 4:
        failures.append("the two architectures share a ProductCode or an UpgradeCode")
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
