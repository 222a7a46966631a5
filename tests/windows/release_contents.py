#!/usr/bin/env python3
"""Checks what a release holds, per architecture, in a clone that
scripts/package.sh has run in: each zip holds exactly haltctl.exe (the built
one), LICENSE.txt, README.txt (the title underlined to its length) and
THIRD-PARTY-NOTICES.txt (CRLF), all dated the last commit; each MSI installs
the same files into a haltctl folder under the right Program Files, adds that
folder to the system PATH and takes it out again, upgrades older versions
and refuses newer ones, and carries the commit's date in its summary. The
build record names the commit and the packages installed here. The
manifests are checked for what each package manager would reject. No
executable of the release is the probe build.

    release_contents.py CLONE VERSION
"""
import collections
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
ARCHES = ("x64", "x86", "arm64")
PROGRAM_FILES = {"x64": "ProgramFiles64Folder", "x86": "ProgramFilesFolder",
                 "arm64": "ProgramFiles64Folder"}
TEMPLATE = {"x64": "x64;1033", "x86": "Intel;1033", "arm64": "Arm64;1033"}
SCHEMA = {"x64": 200, "x86": 200, "arm64": 500}  # ARM64's Template needs 500


def table(msi, name):
    """Rows of an MSI table as lists of fields, after the three header
    lines."""
    text = subprocess.run(["msiinfo", "export", msi, name], check=True, capture_output=True,
                          text=True).stdout
    return [line.split("\t") for line in text.replace("\r", "").splitlines()[3:]]


def check_zip(path, exe, epoch, failures):
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


def check_msi(path, arch, version, exe, epoch, failures):
    def expect(ok, what):
        if not ok:
            failures.append("%s: %s" % (os.path.basename(path), what))

    directories = {row[0]: row for row in table(path, "Directory")}
    install = directories.get("INSTALLDIR", [])
    expect(install[1:] == [PROGRAM_FILES[arch], "haltctl"],
           "INSTALLDIR is %s, not haltctl under %s" % (install, PROGRAM_FILES[arch]))
    expect(table(path, "Environment") == [["PATH", "=-*PATH", "[~];[INSTALLDIR]", "haltctl"]],
           "the Environment table does not append INSTALLDIR to the system PATH")
    sequence = {row[0]: row[2] for row in table(path, "InstallExecuteSequence")}
    expect(sequence.get("WriteEnvironmentStrings") == "5200"
           and sequence.get("RemoveEnvironmentStrings") == "3300",
           "the environment actions are not sequenced")
    expect(int(sequence.get("RemoveExistingProducts", 0)) > 0, "no RemoveExistingProducts")
    properties = {row[0]: row[1] for row in table(path, "Property")}
    expect(properties.get("ProductName") == "haltctl" and
           properties.get("ProductVersion") == version and
           properties.get("Manufacturer") == "the haltctl developers",
           "ProductName, ProductVersion or Manufacturer wrong: %s" % properties)
    upgrade = table(path, "Upgrade")
    code = properties.get("UpgradeCode")
    expect(sorted(row[6] for row in upgrade if row[0] == code)
           == ["WIX_DOWNGRADE_DETECTED", "WIX_UPGRADE_DETECTED"],
           "the Upgrade table does not detect both older and newer versions: %s" % upgrade)
    conditions = {row[0]: row[1] for row in table(path, "LaunchCondition")}
    expect("newer version of haltctl" in conditions.get("NOT WIX_DOWNGRADE_DETECTED", ""),
           "no message refusing a downgrade: %s" % conditions)
    summary = subprocess.run(["msiinfo", "suminfo", path], check=True, capture_output=True,
                             text=True).stdout
    expect("Template: %s\n" % TEMPLATE[arch] in summary, "summary template is not %s"
           % TEMPLATE[arch])
    expect("Version: %d " % SCHEMA[arch] in summary, "schema is not %d" % SCHEMA[arch])
    created = time.strftime("%a %b %e %H:%M:%S %Y", time.gmtime(epoch))
    expect(re.search(r"^Created: %s$" % re.escape(created), summary, re.M) is not None,
           "summary creation time is not the last commit's (%s):\n%s" % (created, summary))
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run(["msiextract", "-C", scratch, path], check=True, capture_output=True)
        found = {}
        for folder, _, names in os.walk(scratch):
            for name in names:
                found[name] = os.path.join(folder, name)
        expect(sorted(found) == sorted(FILES), "the package holds %s" % sorted(found))
        if "haltctl.exe" in found:
            expect(open(found["haltctl.exe"], "rb").read() == exe,
                   "haltctl.exe in the package is not the built executable")
    return properties


def check_not_probe(packages, exes, failures):
    """The probe build records a request instead of making it: released, it
    would report every session end as accepted and end nothing. The
    executable packaged must make the request, hold none of the probe's
    text, and no file of the release may be named after the probe."""
    for arch, exe in exes.items():
        if b"ExitWindowsEx" not in exe or b"probe: " in exe:
            failures.append("the %s executable is the probe build" % arch)
    named = [os.path.join(folder, name) for folder, _, names in os.walk(packages)
             for name in names if "probe" in name.lower()]
    if named:
        failures.append("the release holds %s" % named)


def check_build_info(clone, packages, version, epoch, failures):
    text = open(os.path.join(packages, "haltctl-%s-buildinfo.txt" % version)).read()
    commit = subprocess.run(["git", "-C", clone, "rev-parse", "HEAD"], check=True,
                            capture_output=True, text=True).stdout.strip()
    recorded = dict(re.findall(r"^ (\S+) \(= ([^)]+)\),?$", text, re.M))
    installed = {p: subprocess.run(["dpkg-query", "-W", "-f=${Version}", p], capture_output=True,
                                   text=True).stdout for p in recorded}
    if "Source: commit %s\n" % commit not in text \
            or "Source-Date-Epoch: %d\n" % epoch not in text \
            or not {"wixl", "mingw-w64-x86-64-dev"} <= set(recorded) or recorded != installed:
        failures.append("the build record does not name commit %s, epoch %d, and the packages "
                        "installed here:\n%s" % (commit, epoch, text))


def check_winget(folder, version, msis, failures):
    """Returns the (arch, kind, url, hash) of each installer."""
    kinds = {"haltctl.haltctl.yaml": "version", "haltctl.haltctl.installer.yaml": "installer",
             "haltctl.haltctl.locale.en-US.yaml": "defaultLocale"}
    if sorted(os.listdir(folder)) != sorted(kinds):
        failures.append("winget: %s holds %s" % (folder, sorted(os.listdir(folder))))
        return []
    lint = subprocess.run(["yamllint", "-s", "-d", "{rules: {key-duplicates: enable, "
                           "quoted-strings: {quote-type: double, required: true}}}", folder],
                          capture_output=True, text=True)
    if lint.returncode != 0:
        failures.append("winget: yamllint: " + lint.stdout)
    docs = {}
    for name, kind in kinds.items():
        text = open(os.path.join(folder, name)).read()
        doc = docs[kind] = yaml.safe_load(text)
        if not text.startswith("# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s."
                               % kind.lower()) or doc.get("ManifestType") != kind or \
                (doc.get("PackageIdentifier"), doc.get("PackageVersion")) != \
                (docs["version"].get("PackageIdentifier"), version):
            failures.append("winget: %s: schema line, type, identity or version wrong" % name)
    locale = docs["defaultLocale"]
    if not all(locale.get(k) for k in ("PackageLocale", "License", "ShortDescription")) or \
            (locale.get("Publisher"), locale.get("PackageName")) != \
            (msis["x64"]["Manufacturer"], msis["x64"]["ProductName"]):
        failures.append("winget: the locale lacks a required field or disagrees with the MSI")
    installers = docs["installer"].get("Installers", [])
    for entry in installers:
        arch = entry.get("Architecture")
        if entry.get("InstallerType") == "msi" and arch in msis and \
                (entry.get("ProductCode"), entry.get("AppsAndFeaturesEntries")) != \
                (msis[arch]["ProductCode"], [{"UpgradeCode": msis[arch]["UpgradeCode"]}]):
            failures.append("winget: the %s MSI's codes disagree with the MSI" % arch)
    return [(i.get("Architecture"), i.get("InstallerType"), i.get("InstallerUrl", ""),
             i.get("InstallerSha256", "")) for i in installers]


def check_scoop(path, failures):
    raw = open(path, "rb").read()

    def unique(pairs):
        if len({k for k, _ in pairs}) != len(pairs):
            failures.append("scoop: duplicate keys %s" % [k for k, _ in pairs])
        return dict(pairs)

    doc = json.loads(raw.decode("utf-8"), object_pairs_hook=unique)
    known = {"version", "description", "homepage", "license", "architecture", "bin", "checkver",
             "autoupdate", "notes", "depends", "suggest", "persist", "shortcuts", "url", "hash"}
    if raw.decode() != json.dumps(doc, indent=4) + "\n" or set(doc) - known:
        failures.append("scoop: not four-space JSON with a final newline, or unknown keys %s"
                        % sorted(set(doc) - known))
    later = doc.get("autoupdate", {}).get("architecture", {})
    if not all("$version" in later.get(n, {}).get("url", "") for n in ("64bit", "32bit",
                                                                       "arm64")):
        failures.append("scoop: an autoupdate URL holds no $version: %s" % later)
    return [(arch, "zip", doc.get("architecture", {}).get(name, {}).get("url", ""),
             doc.get("architecture", {}).get(name, {}).get("hash", ""))
            for arch, name in (("x64", "64bit"), ("x86", "32bit"), ("arm64", "arm64"))]


def check_chocolatey(path, version, failures):
    with zipfile.ZipFile(path) as package:
        parts = {n: package.read(n).decode("utf-8") for n in package.namelist()}
    core = [n for n in parts if re.fullmatch(r"package/services/metadata/core-properties/"
                                             r"\w+\.psmdcp", n)]
    if set(parts) - set(core) != {"_rels/.rels", "[Content_Types].xml", "haltctl.nuspec",
                                  "tools/chocolateyInstall.ps1",
                                  "tools/chocolateyUninstall.ps1"} or len(core) != 1:
        failures.append("chocolatey: the package holds %s" % sorted(parts))
        return []
    types = ElementTree.fromstring(parts["[Content_Types].xml"])
    covered = {d.get("Extension") for d in types if d.tag.endswith("Default")}
    if not {n.rsplit(".", 1)[-1] for n in parts if n != "[Content_Types].xml"} <= covered:
        failures.append("chocolatey: content types %s do not cover every part" % covered)
    relations = {r.get("Type").rsplit("/", 1)[-1]: r.get("Target")
                 for r in ElementTree.fromstring(parts["_rels/.rels"])}
    if relations != {"manifest": "/haltctl.nuspec", "core-properties": "/" + core[0]}:
        failures.append("chocolatey: relationships %s" % relations)
    space = "{http://schemas.microsoft.com/packaging/2015/06/nuspec.xsd}"
    fields = {e.tag[len(space):]: e.text or "" for e in
              ElementTree.fromstring(parts["haltctl.nuspec"]).iter() if e.tag.startswith(space)}
    missing = [k for k in ("id", "version", "title", "authors", "projectUrl", "licenseUrl",
                           "summary", "tags", "copyright") if not fields.get(k)]
    if missing or fields["version"] != version or len(fields.get("description", "")) < 30:
        failures.append("chocolatey: the nuspec lacks %s, or its version or description" % missing)
    if any("msiexec" in parts[n].lower() for n in parts if n.startswith("tools/")):
        failures.append("chocolatey: a script calls msiexec itself")
    install = parts["tools/chocolateyInstall.ps1"]
    found = dict(re.findall(r"^\s*\$?(url\w*|checksum\w*)\s*=\s*'([^']*)'", install, re.M))
    if "PROCESSOR_ARCHITECTURE -eq 'ARM64'" not in install:
        failures.append("chocolatey: the install script does not pick the ARM64 MSI on ARM64")
    return [(arch, "msi", found.get("url" + url, ""), found.get("checksum" + checksum, ""))
            for arch, url, checksum in (("x86", "", ""), ("x64", "64bit", "64"),
                                        ("arm64", "Arm64", "Arm64"))]


def check_manifests(packages, version, msis, failures):
    """Each manager's own rules, then one table: every installer a manifest
    names is the release file of its architecture, with that file's hash."""
    manifests = os.path.join(packages, "manifests")
    installers = [("winget",) + row for row in check_winget(
        os.path.join(manifests, "winget", "manifests", "h", "haltctl", "haltctl", version),
        version, msis, failures)]
    installers += [("scoop",) + row for row in check_scoop(
        os.path.join(manifests, "scoop", "haltctl.json"), failures)]
    installers += [("chocolatey",) + row for row in check_chocolatey(
        os.path.join(manifests, "chocolatey", "haltctl.%s.nupkg" % version), version, failures)]
    counts = collections.Counter(row[0] for row in installers)
    if counts != {"winget": 6, "scoop": 3, "chocolatey": 3}:
        failures.append("the manifests name these many installers: %s" % dict(counts))
    for manager, arch, kind, url, digest in installers:
        path = os.path.join(packages, url.rsplit("/", 1)[-1])
        if not re.fullmatch(r"haltctl-.+-windows-%s\.%s" % (arch, kind), os.path.basename(path)) \
                or not os.path.isfile(path) or \
                hashlib.sha256(open(path, "rb").read()).hexdigest() != digest.lower():
            failures.append("%s: %s and hash %s are not the %s %s's" % (manager, url, digest,
                                                                        arch, kind))


def main():
    clone, version = sys.argv[1:3]
    packages = os.path.join(clone, "build", "packages")
    epoch = int(subprocess.run(["git", "-C", clone, "log", "-1", "--format=%ct"], check=True,
                               capture_output=True, text=True).stdout)
    os.environ["TZ"] = "UTC"
    time.tzset()
    failures = []
    codes = {}
    exes = {}
    for arch in ARCHES:
        exe = exes[arch] = open(os.path.join(clone, "build", "package", "windows-" + arch,
                                             "haltctl.exe"), "rb").read()
        stem = os.path.join(packages, "haltctl-%s-windows-%s" % (version, arch))
        check_zip(stem + ".zip", exe, epoch, failures)
        codes[arch] = check_msi(stem + ".msi", arch, version, exe, epoch, failures)
        print("%s: ProductCode %s, UpgradeCode %s" % (arch, codes[arch].get("ProductCode"),
                                                      codes[arch].get("UpgradeCode")))
    if len({p.get(c) for p in codes.values() for c in ("ProductCode", "UpgradeCode")}) != 6:
        failures.append("two architectures share a ProductCode or an UpgradeCode")
    check_not_probe(packages, exes, failures)
    check_build_info(clone, packages, version, epoch, failures)
    check_manifests(packages, version, codes, failures)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
