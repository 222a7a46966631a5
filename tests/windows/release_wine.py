#!/usr/bin/env python3
"""Installs a release's MSI under Wine as a fleet would, in a prefix made for
this test: silent install exits 0 and puts the built executable into the
Program Files folder; a program started afterwards finds haltctl on the PATH;
a higher version replaces it, leaving one installation; the lower version is
then refused; silent removal exits 0 and leaves neither the files nor the
folder. The machine's PATH is read before the install: after it, its folders
must be that PATH's and the install folder, after the removal that PATH's
again. The signed executable runs too.

    release_wine.py CLONE SIGNED-RELEASE x64|x86|arm64 WORK

Exit status 77 means it did not run (a skip): this machine cannot run 32-bit
programs (x86) or QEMU's emulation (x86 without IA32, arm64), or Wine is
missing, which with CI=true is a failure.
"""
import glob
import json
import os
import re
import subprocess
import sys
import zipfile

# The project's Wine environment.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "scripts", "environment"))
import wine

RELEASE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "scripts", "release", "release.py")
# The folder under C:\ that the MSI's Program Files folder is under Wine.
# Wine 8's msi gives ProgramFiles64Folder (and ProgramFilesFolder) a value
# only where the processor is x86 or x64 (set_installer_properties), so under
# its arm64 Wine the package's folder falls back to the drive's root. Wine 10
# resolves it to C:\Program Files, as Windows Installer on ARM64 does.
FOLDER = {"x64": "Program Files", "x86": "Program Files (x86)", "arm64": "Program Files"}
ENVIRONMENT = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
# The banner's first line and the usage text's, as every build's tests read
# them.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "cases.json")) as cases:
    TEXTS = json.load(cases)
BANNER = TEXTS["banner"][0].encode("latin-1") + b"\r\n"
USAGE = TEXTS["usage"][0].encode("latin-1") + b"\r\n"


def installations(prefix):
    """(DisplayName, DisplayVersion) of every product Wine has recorded as
    installed, read from the prefix's registry once its server has ended."""
    wine.stop_server(prefix)
    text = open(os.path.join(prefix, "system.reg"), encoding="utf-8", errors="replace").read()
    found = []
    for block in re.split(r"\n(?=\[)", text):
        if re.match(r"\[Software\\\\(Wow6432Node\\\\)?Microsoft\\\\Windows\\\\CurrentVersion"
                    r"\\\\Uninstall\\\\\{", block):
            name = re.search(r'^"DisplayName"="([^"]*)"', block, re.M)
            version = re.search(r'^"DisplayVersion"="([^"]*)"', block, re.M)
            if name and name.group(1) == "haltctl":
                found.append((name.group(1), version.group(1) if version else None))
    return found


def system_path(prefix):
    """The machine's PATH as `reg query` prints it, or None where reg
    fails or prints no such value."""
    out, _, status = wine.run(prefix, ["reg", "query", ENVIRONMENT, "/v", "PATH"])
    value = re.search(r"^\s*PATH\s+REG_(?:EXPAND_)?SZ\s+(.*?)\r?$", out.decode("latin-1"),
                      re.M | re.I)
    return value.group(1) if status == 0 and value else None


def path_entries(path, added=None):
    """The folders of a PATH value, empty ones aside (Wine's removal leaves
    the separator behind), with the one added, if any; None for none."""
    if path is None:
        return None
    return [entry.rstrip("\\").lower() for entry in path.split(";") if entry] + \
        ([added.lower()] if added else [])


def program_files(prefix, arch):
    """FOLDER[arch], or "" for arm64 under Wine 8 and older."""
    out, _, _ = wine.run(prefix, ["--version"])
    major = re.match(rb"wine-(\d+)", out)
    if arch == "arm64" and major and int(major.group(1)) <= 8:
        return ""
    return FOLDER[arch]


def msiexec(prefix, *args):
    out, err, status = wine.run(prefix, ["msiexec"] + list(args) + ["/qn"])
    wine.stop_server(prefix)  # the next program starts with the new PATH
    return status


def main():
    clone, signed, arch, work = sys.argv[1:5]
    missing = wine.enter_sandbox(arch)
    if missing is not None:
        return missing
    build = os.path.join(clone, "build", "package", "windows-" + arch)
    built = open(os.path.join(build, "haltctl.exe"), "rb").read()
    msi, = glob.glob(os.path.join(glob.escape(os.path.join(clone, "build", "packages")),
                                  "haltctl-*-windows-%s.msi" % arch))
    version = re.fullmatch(r"haltctl-(.+)-windows-\w+\.msi", os.path.basename(msi)).group(1)
    higher = ".".join(version.split(".")[:2] + [str(int(version.split(".")[2]) + 1)])
    steps = []

    def step(ok, what):
        steps.append((ok, what))
        print("%-4s %s" % ("ok" if ok else "FAIL", what), flush=True)

    with wine.WorkFolder(work) as folder:
        # The same executable packaged as the next version.
        scratch = folder.scratch("next")
        made = subprocess.run([sys.executable, RELEASE, "--version",
                               higher, "--epoch", "1700000000", "--source", "a test",
                               "--out", scratch, "--build", "%s=%s" % (arch, build)],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if made.returncode != 0:
            print(made.stdout)
            raise SystemExit("FAIL: release.py could not package version %s" % higher)
        newer, = glob.glob(os.path.join(glob.escape(scratch), "*.msi"))

        prefix = folder.prefix("prefix")
        wine.make(prefix)
        wine.start_server(prefix)
        under = program_files(prefix, arch)
        installed = os.path.join(prefix, "drive_c", under, "haltctl")
        windows_folder = "C:\\" + "\\".join(filter(None, [under, "haltctl"]))

        path = system_path(prefix)
        step(path is not None, "the system PATH before installing: %s" % path)
        step(msiexec(prefix, "/i", msi) == 0, "msiexec /i %s /qn exits 0" % os.path.basename(msi))
        exe = os.path.join(installed, "haltctl.exe")
        step(os.path.isfile(exe) and open(exe, "rb").read() == built,
             "the installed %s\\haltctl.exe is the built executable" % windows_folder)
        step(path is not None and
             path_entries(system_path(prefix)) == path_entries(path, windows_folder),
             "the system PATH is the old one and %s: %s" % (windows_folder, system_path(prefix)))
        out, _, status = wine.run(prefix, ["cmd", "/c", "haltctl -?"])
        step(status == 0 and out.startswith(BANNER) and USAGE in out,
             "a new cmd finds haltctl on the PATH: 'haltctl -?' shows the usage text, status %d"
             % status)
        step(installations(prefix) == [("haltctl", version)],
             "Add/Remove Programs shows haltctl %s" % version)

        step(msiexec(prefix, "/i", newer) == 0, "installing %s over it exits 0" % higher)
        step(installations(prefix) == [("haltctl", higher)],
             "one installation remains, version %s: %s" % (higher, installations(prefix)))
        step(path_entries(system_path(prefix)) == path_entries(path, windows_folder),
             "the system PATH holds the folder once: %s" % system_path(prefix))
        status = msiexec(prefix, "/i", msi)
        step(status != 0 and installations(prefix) == [("haltctl", higher)],
             "installing %s over %s is refused (status %d)" % (version, higher, status))

        step(msiexec(prefix, "/x", newer) == 0, "msiexec /x /qn exits 0")
        step(not os.path.exists(installed), "the files and the folder are gone")
        step(path is not None and path_entries(system_path(prefix)) == path_entries(path),
             "the system PATH is the old one again: %s" % system_path(prefix))
        step(installations(prefix) == [], "Add/Remove Programs no longer shows haltctl")

        signed_zip, = glob.glob(os.path.join(glob.escape(signed), "*-windows-%s.zip" % arch))
        signed_exe = os.path.join(scratch, "signed-haltctl.exe")
        with zipfile.ZipFile(signed_zip) as archive, open(signed_exe, "wb") as f:
            f.write(archive.read("haltctl.exe"))
        out, _, status = wine.run(prefix, [signed_exe, "-?"])
        step(status == 0 and out.startswith(BANNER), "the signed executable runs: -? status %d"
             % status)
    return 0 if all(ok for ok, _ in steps) else 1


if __name__ == "__main__":
    sys.exit(main())
