"""The package managers' manifests for a finished release: winget, Scoop and
Chocolatey. scripts/release/release.py calls write once the zips, the MSIs and
SHA256SUMS are made. Every value comes from the release itself: the hashes
from SHA256SUMS, and the version, product and upgrade codes, manufacturer
and product name from each MSI's Property table, read back with msiinfo.
Nothing here runs a package manager; docs/deployment.md says how each set
is published.
"""
import hashlib
import json
import os
import re
import subprocess
import urllib.parse
import xml.etree.ElementTree as ElementTree

import yaml

IDENTIFIER = "haltctl.haltctl"
WINGET_VERSION = "1.12.0"
LICENSE = "MIT"
LICENSE_URL = "https://spdx.org/licenses/MIT.html"
SHORT = "Ends the Windows session from the command line: logoff, shutdown, reboot or poweroff."
DESCRIPTION = ("haltctl is a small console command for the Windows NT family that logs the "
               "user off, shuts the system down, reboots it or powers it off, optionally "
               "forcing programs to close. It enables the shutdown privilege in its own token, "
               "hands one request to ExitWindowsEx and reports the outcome in its exit status, "
               "for administrators and their scripts.")
TAGS = ["shutdown", "reboot", "logoff", "poweroff", "command-line", "admin"]
ARCHES = [("x64", "64bit"), ("x86", "32bit"), ("arm64", "arm64")]  # winget's and Scoop's names


class ManifestError(Exception):
    pass


def read_sums(folder):
    """{file name: sha256 in lower case} from the release's SHA256SUMS."""
    sums = {}
    with open(os.path.join(folder, "SHA256SUMS")) as f:
        for line in f:
            digest, name = line.rstrip("\n").split("  ", 1)
            sums[name] = digest
    return sums


def msi_properties(path):
    text = subprocess.run(["msiinfo", "export", path, "Property"], check=True,
                          capture_output=True, text=True).stdout
    rows = [line.split("\t") for line in text.replace("\r", "").splitlines()[3:]]
    return {row[0]: row[1] for row in rows if len(row) == 2}


def read_release(folder):
    """What the manifests say, read from the release: per architecture the
    MSI's properties, and the names and hashes of its MSI and zip."""
    sums = read_sums(folder)
    found = {}
    for arch, _ in ARCHES:
        names = {kind: [n for n in sums
                        if re.fullmatch(r"haltctl-.+-windows-%s\.%s" % (arch, kind), n)]
                 for kind in ("msi", "zip")}
        if any(len(n) != 1 for n in names.values()):
            raise ManifestError("SHA256SUMS does not list one MSI and one zip for %s: %s"
                                % (arch, names))
        msi, archive = names["msi"][0], names["zip"][0]
        properties = msi_properties(os.path.join(folder, msi))
        missing = [k for k in ("ProductCode", "UpgradeCode", "ProductVersion", "Manufacturer",
                               "ProductName") if not properties.get(k)]
        if missing:
            raise ManifestError("%s has no %s" % (msi, ", ".join(missing)))
        found[arch] = dict(properties, msi=msi, zip=archive, msi_sha256=sums[msi],
                           zip_sha256=sums[archive])
    if len({(p["ProductVersion"], p["Manufacturer"], p["ProductName"])
            for p in found.values()}) != 1:
        raise ManifestError("the two MSIs disagree on version, manufacturer or product name")
    return found


def check_urls(url, homepage):
    """Both addresses go into scripts that run as administrator and into
    three manifest languages: each must be an https URL of printable ASCII
    with no quote of any kind, no backslash and no angle bracket, so that no
    value can end a string early in any of them."""
    for name, value in (("HALTCTL_RELEASE_URL", url), ("HALTCTL_HOMEPAGE", homepage)):
        if not value:
            raise ManifestError("%s is not set: the manifests need both HALTCTL_RELEASE_URL "
                                "and HALTCTL_HOMEPAGE" % name)
        bad = sorted({c for c in value if not "!" <= c <= "~" or c in "'\"`\\<>"})
        address = urllib.parse.urlsplit(value)
        if bad or address.scheme != "https" or not address.netloc:
            raise ManifestError("%s is %r: it must be an https:// URL of printable ASCII "
                                "without quotes, backslashes or angle brackets%s"
                                % (name, value, " (it holds %r)" % "".join(bad) if bad else ""))


def powershell_string(value):
    """A PowerShell single-quoted string: nothing in it is expanded, and
    each quote that PowerShell reads as a single quote is doubled."""
    return "'%s'" % re.sub("(['\u2018\u2019\u201a\u201b])", r"\1\1", value)


def winget_yaml(kind, fields):
    """One winget manifest: the schema line, then the fields in order,
    every string double-quoted (never read as a number, a date or a
    mapping, as a bare 1.10 or {GUID} would be)."""
    return ("# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.%s.schema.json\n\n"
            % (kind, WINGET_VERSION)
            + yaml.safe_dump(dict(fields), sort_keys=False, default_style='"',
                             allow_unicode=True, width=1 << 16))


def winget(release, url, homepage):
    any_arch = release["x64"]
    version = any_arch["ProductVersion"]
    head = [("PackageIdentifier", IDENTIFIER), ("PackageVersion", version)]
    tail = [("ManifestVersion", WINGET_VERSION)]
    installers = []
    for arch, _ in ARCHES:
        p = release[arch]
        installers.append({"Architecture": arch, "InstallerType": "msi", "Scope": "machine",
                           "InstallerUrl": "%s/%s" % (url, p["msi"]),
                           "InstallerSha256": p["msi_sha256"].upper(),
                           "ProductCode": p["ProductCode"], "UpgradeBehavior": "install",
                           "AppsAndFeaturesEntries": [{"UpgradeCode": p["UpgradeCode"]}]})
    for arch, _ in ARCHES:
        p = release[arch]
        installers.append({"Architecture": arch, "InstallerType": "zip",
                           "NestedInstallerType": "portable",
                           "NestedInstallerFiles": [{"RelativeFilePath": "haltctl.exe",
                                                     "PortableCommandAlias": "haltctl"}],
                           "InstallerUrl": "%s/%s" % (url, p["zip"]),
                           "InstallerSha256": p["zip_sha256"].upper()})
    folder = "winget/manifests/h/haltctl/haltctl/%s" % version
    return {
        folder + "/haltctl.haltctl.yaml": winget_yaml("version", head + [
            ("DefaultLocale", "en-US"), ("ManifestType", "version")] + tail),
        folder + "/haltctl.haltctl.installer.yaml": winget_yaml("installer", head + [
            ("Installers", installers), ("ManifestType", "installer")] + tail),
        folder + "/haltctl.haltctl.locale.en-US.yaml": winget_yaml("defaultlocale", head + [
            ("PackageLocale", "en-US"), ("Publisher", any_arch["Manufacturer"]),
            ("PackageName", any_arch["ProductName"]), ("PackageUrl", homepage),
            ("License", LICENSE), ("LicenseUrl", LICENSE_URL), ("ShortDescription", SHORT),
            ("Description", DESCRIPTION), ("Moniker", "haltctl"), ("Tags", TAGS),
            ("ManifestType", "defaultLocale")] + tail),
    }


def scoop(release, url, homepage):
    version = release["x64"]["ProductVersion"]
    # Later versions are published beside this one: the version in the
    # release URL becomes Scoop's $version.
    later = url.replace(version, "$version")
    manifest = {
        "version": version,
        "description": SHORT,
        "homepage": homepage,
        "license": LICENSE,
        "architecture": {name: {"url": "%s/%s" % (url, release[arch]["zip"]),
                                "hash": release[arch]["zip_sha256"]}
                         for arch, name in ARCHES},
        "bin": "haltctl.exe",
        "checkver": {"url": homepage, "regex": r"haltctl-([\d.]+)-windows-x64\.zip"},
        "autoupdate": {
            "architecture": {name: {"url": "%s/haltctl-$version-windows-%s.zip" % (later, arch)}
                             for arch, name in ARCHES},
            "hash": {"url": "$baseurl/SHA256SUMS"},
        },
    }
    return {"scoop/haltctl.json": json.dumps(manifest, indent=4) + "\n"}


def xml_document(tag, namespaces, children):
    """An XML document written by ElementTree: the root element in the
    default namespace (the first of namespaces) and its children, each a
    (tag, value) pair whose value is the text, the attributes (a dict) or
    the children (a list); a tag "dc:name" is in the namespace named dc."""
    for prefix, uri in namespaces.items():
        ElementTree.register_namespace(prefix, uri)

    def qualified(name):
        prefix, _, local = name.rpartition(":")
        return "{%s}%s" % (namespaces[prefix], local)

    def add(parent, items):
        for name, value in items:
            if isinstance(value, dict):
                ElementTree.SubElement(parent, qualified(name), value)
            elif isinstance(value, list):
                add(ElementTree.SubElement(parent, qualified(name)), value)
            else:
                ElementTree.SubElement(parent, qualified(name)).text = value

    root = ElementTree.Element(qualified(tag))
    add(root, children)
    ElementTree.indent(root, "  ")
    return ElementTree.tostring(root, encoding="utf-8", xml_declaration=True).decode() + "\n"


NUSPEC = "http://schemas.microsoft.com/packaging/2015/06/nuspec.xsd"
CORE = "http://schemas.openxmlformats.org/package/2006/metadata/core-properties"
RELATIONSHIPS = "http://schemas.openxmlformats.org/package/2006/relationships"
CONTENT_TYPES = "http://schemas.openxmlformats.org/package/2006/content-types"


def chocolatey(release, url, homepage, write_zip, folder, epoch):
    version = release["x64"]["ProductVersion"]
    author = release["x64"]["Manufacturer"]
    nuspec = xml_document("package", {"": NUSPEC}, [("metadata", [
        ("id", "haltctl"), ("version", version), ("title", release["x64"]["ProductName"]),
        ("authors", author), ("projectUrl", homepage), ("licenseUrl", LICENSE_URL),
        ("requireLicenseAcceptance", "false"), ("description", DESCRIPTION),
        ("summary", SHORT), ("tags", " ".join(TAGS)), ("copyright", "(c) 2026 " + author)])])
    values = {"url": "%s/%s" % (url, release["x86"]["msi"]),
              "checksum": release["x86"]["msi_sha256"],
              "url64bit": "%s/%s" % (url, release["x64"]["msi"]),
              "checksum64": release["x64"]["msi_sha256"],
              "urlArm64": "%s/%s" % (url, release["arm64"]["msi"]),
              "checksumArm64": release["arm64"]["msi_sha256"]}
    install = """$ErrorActionPreference = 'Stop'
# The MSI for this machine's architecture, checked against its SHA-256 and
# installed silently for the whole machine.
$packageArgs = @{
  packageName    = $env:ChocolateyPackageName
  fileType       = 'msi'
  url            = %(url)s
  checksum       = %(checksum)s
  checksumType   = 'sha256'
  url64bit       = %(url64bit)s
  checksum64     = %(checksum64)s
  checksumType64 = 'sha256'
  silentArgs     = '/qn /norestart'
  validExitCodes = @(0, 3010, 1641)
}
# Windows on ARM64 gets the ARM64 build, whichever PowerShell runs this: an
# x64 or x86 one runs emulated there and would pick its own. The machine's
# own architecture is the one its system environment names.
$urlArm64      = %(urlArm64)s
$checksumArm64 = %(checksumArm64)s
$environment = 'HKLM:\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment'
if ((Get-ItemProperty -LiteralPath $environment).PROCESSOR_ARCHITECTURE -eq 'ARM64') {
  $packageArgs.url = $packageArgs.url64bit = $urlArm64
  $packageArgs.checksum = $packageArgs.checksum64 = $checksumArm64
}
Install-ChocolateyPackage @packageArgs
""" % {key: powershell_string(value) for key, value in values.items()}
    uninstall = """$ErrorActionPreference = 'Stop'
# Removes what the MSI installed, through the product's own uninstall entry.
[array]$keys = Get-UninstallRegistryKey -SoftwareName 'haltctl'
foreach ($key in $keys) {
  Uninstall-ChocolateyPackage -PackageName $env:ChocolateyPackageName -FileType 'msi' `
    -SilentArgs "$($key.PSChildName) /qn /norestart" -ValidExitCodes @(0, 3010, 1605, 1614, 1641)
}
"""
    # The core-properties part's name comes from the id and the version, so
    # that two builds give the same package.
    core = "package/services/metadata/core-properties/%s.psmdcp" % hashlib.sha256(
        ("haltctl/" + version).encode()).hexdigest()[:32]
    properties = xml_document("coreProperties", {
        "": CORE, "dc": "http://purl.org/dc/elements/1.1/",
        "dcterms": "http://purl.org/dc/terms/",
        "xsi": "http://www.w3.org/2001/XMLSchema-instance"}, [
        ("dc:creator", author), ("dc:description", DESCRIPTION), ("dc:identifier", "haltctl"),
        ("version", version), ("keywords", " ".join(TAGS)),
        ("lastModifiedBy", "haltctl release")])
    relationships = xml_document("Relationships", {"": RELATIONSHIPS}, [
        ("Relationship", {"Type": "http://schemas.microsoft.com/packaging/2010/07/manifest",
                          "Target": "/haltctl.nuspec", "Id": "R1"}),
        ("Relationship", {"Type": RELATIONSHIPS + "/metadata/core-properties",
                          "Target": "/" + core, "Id": "R2"})])
    types = xml_document("Types", {"": CONTENT_TYPES}, [
        ("Default", {"Extension": "rels",
                     "ContentType": "application/vnd.openxmlformats-package.relationships+xml"}),
        ("Default", {"Extension": "nuspec", "ContentType": "application/octet"}),
        ("Default", {"Extension": "ps1", "ContentType": "application/octet"}),
        ("Default", {"Extension": "psmdcp", "ContentType":
                     "application/vnd.openxmlformats-package.core-properties+xml"})])
    parts = [("_rels/.rels", relationships), ("haltctl.nuspec", nuspec),
             ("tools/chocolateyInstall.ps1", install),
             ("tools/chocolateyUninstall.ps1", uninstall), (core, properties),
             ("[Content_Types].xml", types)]
    name = "chocolatey/haltctl.%s.nupkg" % version
    path = os.path.join(folder, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    write_zip(path, [(n, text.encode("utf-8")) for n, text in parts], epoch)
    return name


def write(folder, url, homepage, write_zip, epoch):
    """Writes manifests/ into the release folder; returns the files made."""
    check_urls(url, homepage)
    url = url.rstrip("/")
    release = read_release(folder)
    texts = {}
    texts.update(winget(release, url, homepage))
    texts.update(scoop(release, url, homepage))
    made = []
    for name, text in sorted(texts.items()):
        path = os.path.join(folder, "manifests", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", newline="\n") as f:
            f.write(text)
        made.append(name)
    made.append(chocolatey(release, url, homepage, write_zip,
                           os.path.join(folder, "manifests"), epoch))
    return ["manifests/" + name for name in made]
