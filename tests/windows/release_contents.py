#!/usr/bin/env python3
"""Checks what a release holds, per architecture, in a clone that
scripts/package.sh has run in: each zip holds exactly haltctl.exe (the built
one), LICENSE.txt, README.txt (the title underlined to its length) and
THIRD-PARTY-NOTICES.txt (CRLF), all dated the last commit; each MSI installs
the same files into a haltctl folder under the right Program Files, adds that
folder to the system PATH and takes it out again, upgrades older versions
and refuses newer ones, and carries the commit's date in its summary. The
build record names the commit and the packages installed here. The
manifests are checked for what each package manager would reject.

    release_contents.py CLONE VERSION
"""
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree
import zipfile

import yaml

FILES = ["haltctl.exe", "LICENSE.txt", "README.txt", "THIRD-PARTY-NOTICES.txt"]
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
        for text in ("LICENSE.txt", "README.txt", "THIRD-PARTY-NOTICES.txt"):
            body = archive.read(text)
            if body.count(b"\n") == 0 or body.count(b"\n") != body.count(b"\r\n"):
                failures.append("%s: %s does not end every line with CRLF" % (path, text))
        if b"MIT License" not in archive.read("LICENSE.txt"):
            failures.append("%s: LICENSE.txt is not the MIT licence" % path)
        if b"Zope Public License (ZPL) Version 2.1" not in archive.read("THIRD-PARTY-NOTICES.txt"):
            failures.append("%s: THIRD-PARTY-NOTICES.txt lacks the runtime's notice" % path)
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
    return properties


def Sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def CheckBuildInfo(clone, packages, version, epoch, failures):
    path = os.path.join(packages, "haltctl-%s-buildinfo.txt" % version)
    text = open(path).read()
    commit = subprocess.run(["git", "-C", clone, "rev-parse", "HEAD"], check=True,
                            capture_output=True, text=True).stdout.strip()
    recorded = dict(re.findall(r"^ (\S+) \(= ([^)]+)\),?$", text, re.M))
    installed = {p: subprocess.run(["dpkg-query", "-W", "-f=${Version}", p], capture_output=True,
                                   text=True).stdout for p in recorded}
    for ok, what in [
            ("Source: commit %s\n" % commit in text, "does not name the commit %s" % commit),
            ("Source-Date-Epoch: %d\n" % epoch in text, "does not give the epoch %d" % epoch),
            ({"wixl", "mingw-w64-x86-64-dev", "binutils-mingw-w64-i686"} <= set(recorded),
             "lacks the linker, the runtime or wixl: %s" % sorted(recorded)),
            (recorded == installed, "versions differ from dpkg's: %s"
             % {p: (v, installed[p]) for p, v in recorded.items() if installed[p] != v}),
            ("  haltctl-%s-buildinfo.txt\n" % version in open(os.path.join(packages, "SHA256SUMS"))
             .read(), "is not in SHA256SUMS")]:
        if not ok:
            failures.append("the build record " + what)


def ExpectUrl(url, packages, arch, kind, digest, failures, where):
    """A URL names the release file of the architecture, whose hash it gives."""
    name = url.rsplit("/", 1)[-1]
    path = os.path.join(packages, name)
    if not re.fullmatch(r"haltctl-.+-windows-%s\.%s" % (arch, kind), name) or \
            not os.path.isfile(path) or Sha256(path) != digest.lower():
        failures.append("%s: %s and hash %s are not the %s %s's" % (where, url, digest, arch, kind))


def CheckWinget(packages, version, msis, failures):
    folder = os.path.join(packages, "manifests", "winget", "manifests", "h", "haltctl", "haltctl",
                          version)
    kinds = {"haltctl.haltctl.yaml": ("version", "version"),
             "haltctl.haltctl.installer.yaml": ("installer", "installer"),
             "haltctl.haltctl.locale.en-US.yaml": ("defaultLocale", "defaultlocale")}
    found = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    if found != sorted(kinds):
        failures.append("winget: %s holds %s" % (folder, found))
        return
    lint = subprocess.run(["yamllint", "-s", "-d", "{rules: {key-duplicates: enable, "
                           "quoted-strings: {quote-type: double, required: true}}}", folder],
                          capture_output=True, text=True)
    if lint.returncode != 0:
        failures.append("winget: yamllint: " + lint.stdout)
    docs = {}
    for name, (kind, spelled) in kinds.items():
        text = open(os.path.join(folder, name)).read()
        doc = docs[kind] = yaml.safe_load(text)
        schema = "# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.1.12.0" \
                 ".schema.json\n" % spelled
        if not text.startswith(schema) or doc.get("ManifestType") != kind or \
                (doc.get("PackageIdentifier"), doc.get("PackageVersion"),
                 doc.get("ManifestVersion")) != ("haltctl.haltctl", version, "1.12.0"):
            failures.append("winget: %s: schema line, type, identity or version wrong" % name)
    locale, installers = docs["defaultLocale"], docs["installer"].get("Installers", [])
    missing = [k for k in ("PackageLocale", "Publisher", "PackageName", "License",
                           "ShortDescription") if not locale.get(k)]
    if docs["version"].get("DefaultLocale") != "en-US" or missing or \
            (locale["Publisher"], locale["PackageName"]) != (msis["x64"]["Manufacturer"],
                                                             msis["x64"]["ProductName"]):
        failures.append("winget: locale lacks %s or disagrees with the MSI" % missing)
    order = [(i.get("InstallerType"), i.get("Architecture")) for i in installers]
    if order != [("msi", "x64"), ("msi", "x86"), ("zip", "x64"), ("zip", "x86")]:
        failures.append("winget: installers %s" % order)
        return
    for entry in installers:
        arch, kind = entry["Architecture"], entry["InstallerType"]
        if not re.fullmatch(r"[0-9A-F]{64}", entry.get("InstallerSha256", "")):
            failures.append("winget: %s %s hash is not 64 upper-case hex digits" % (arch, kind))
        ExpectUrl(entry.get("InstallerUrl", ""), packages, arch, kind,
                  entry.get("InstallerSha256", ""), failures, "winget")
        if kind == "msi" and (entry.get("Scope"), entry.get("ProductCode"),
                              entry.get("UpgradeBehavior"), entry.get("AppsAndFeaturesEntries")) \
                != ("machine", msis[arch]["ProductCode"], "install",
                    [{"UpgradeCode": msis[arch]["UpgradeCode"]}]):
            failures.append("winget: the %s MSI's scope or codes disagree with the MSI" % arch)
        if kind == "zip" and (entry.get("NestedInstallerType"), entry.get("NestedInstallerFiles")) \
                != ("portable", [{"RelativeFilePath": "haltctl.exe",
                                  "PortableCommandAlias": "haltctl"}]):
            failures.append("winget: the %s zip is not a portable haltctl.exe" % arch)


def CheckScoop(packages, version, failures):
    raw = open(os.path.join(packages, "manifests", "scoop", "haltctl.json"), "rb").read()

    def Unique(pairs):
        keys = [k for k, _ in pairs]
        if len(keys) != len(set(keys)):
            failures.append("scoop: duplicate keys %s" % keys)
        return dict(pairs)

    doc = json.loads(raw.decode("utf-8"), object_pairs_hook=Unique)
    known = {"version", "description", "homepage", "license", "architecture", "bin", "checkver",
             "autoupdate", "notes", "depends", "suggest", "persist", "shortcuts", "url", "hash"}
    if raw.startswith(b"\xef\xbb\xbf") or raw.decode() != json.dumps(doc, indent=4) + "\n":
        failures.append("scoop: not four-space JSON with a final newline and no byte-order mark")
    if set(doc) - known or doc.get("version") != version or doc.get("license") != "MIT" or \
            doc.get("bin") != "haltctl.exe" or not doc.get("checkver"):
        failures.append("scoop: unknown keys %s, or version, licence, bin or checkver wrong"
                        % sorted(set(doc) - known))
    for arch, name in (("x64", "64bit"), ("x86", "32bit")):
        entry = doc.get("architecture", {}).get(name, {})
        if entry.get("hash", "") != entry.get("hash", "").lower():
            failures.append("scoop: %s hash is not lower case" % name)
        ExpectUrl(entry.get("url", ""), packages, arch, "zip", entry.get("hash", ""), failures,
                  "scoop")
        later = doc.get("autoupdate", {}).get("architecture", {}).get(name, {}).get("url", "")
        if "$version" not in later:
            failures.append("scoop: autoupdate %s URL %r holds no $version" % (name, later))
    if not doc.get("autoupdate", {}).get("hash", {}).get("url", "").endswith("/SHA256SUMS"):
        failures.append("scoop: autoupdate hash does not point at SHA256SUMS")


def CheckChocolatey(packages, version, failures):
    path = os.path.join(packages, "manifests", "chocolatey", "haltctl.%s.nupkg" % version)
    with zipfile.ZipFile(path) as package:
        parts = {n: package.read(n).decode("utf-8") for n in package.namelist()}
    core = [n for n in parts if re.fullmatch(r"package/services/metadata/core-properties/"
                                              r"\w+\.psmdcp", n)]
    expected = {"_rels/.rels", "[Content_Types].xml", "haltctl.nuspec",
                "tools/chocolateyInstall.ps1", "tools/chocolateyUninstall.ps1"}
    if set(parts) - set(core) != expected or len(core) != 1:
        failures.append("chocolatey: the package holds %s" % sorted(parts))
        return
    types = ElementTree.fromstring(parts["[Content_Types].xml"])
    covered = {d.get("Extension") for d in types if d.tag.endswith("Default")}
    wanted = {n.rsplit(".", 1)[-1] for n in parts if n != "[Content_Types].xml"}
    if not wanted <= covered:
        failures.append("chocolatey: content types do not cover %s" % sorted(wanted - covered))
    relations = {r.get("Type").rsplit("/", 1)[-1]: r.get("Target")
                 for r in ElementTree.fromstring(parts["_rels/.rels"])}
    if relations != {"manifest": "/haltctl.nuspec", "core-properties": "/" + core[0]}:
        failures.append("chocolatey: relationships %s" % relations)
    space = "{http://schemas.microsoft.com/packaging/2015/06/nuspec.xsd}"
    metadata = ElementTree.fromstring(parts["haltctl.nuspec"]).find(space + "metadata")
    fields = {e.tag[len(space):]: (e.text or "") for e in metadata} if metadata is not None else {}
    missing = [k for k in ("id", "version", "title", "authors", "projectUrl", "licenseUrl",
                           "description", "summary", "tags", "copyright") if not fields.get(k)]
    if missing or fields["id"] != "haltctl" or fields["version"] != version or \
            len(fields["description"]) < 30:
        failures.append("chocolatey: nuspec lacks %s, or its id, version or description is "
                        "wrong" % missing)
    install = parts["tools/chocolateyInstall.ps1"]
    for arch, key in (("x86", "url"), ("x64", "url64bit")):
        url = re.search(r"^\s*%s\s*=\s*'([^']+)'" % key, install, re.M)
        digest = re.search(r"^\s*checksum%s\s*=\s*'([^']+)'" % ("64" if arch == "x64" else ""),
                           install, re.M)
        ExpectUrl(url.group(1) if url else "", packages, arch, "msi",
                  digest.group(1) if digest else "", failures, "chocolatey")
    if "validExitCodes = @(0, 3010, 1641)" not in install or \
            any("msiexec" in parts[n].lower() for n in parts if n.startswith("tools/")):
        failures.append("chocolatey: exit codes not 0, 3010, 1641, or a direct msiexec call")


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
        print("%s: ProductCode %s, UpgradeCode %s" % (arch, codes[arch].get("ProductCode"),
                                                      codes[arch].get("UpgradeCode")))
    if len({p.get(c) for p in codes.values() for c in ("ProductCode", "UpgradeCode")}) != 4:
        failures.append("the two architectures share a ProductCode or an UpgradeCode")
    CheckBuildInfo(clone, packages, version, epoch, failures)
    CheckWinget(packages, version, codes, failures)
    CheckScoop(packages, version, failures)
    CheckChocolatey(packages, version, failures)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
