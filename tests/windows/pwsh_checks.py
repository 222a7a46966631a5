#!/usr/bin/env python3
"""The project's PowerShell run by pwsh here: every .ps1 through PowerShell's
parser; windows_checks.ps1 end to end on a release, haltctl's x64 programs
under Wine (a prefix that refuses every ExitWindowsEx, as Windows refuses a
user without the right), every other Windows program and cmdlet a stand-in
answering from MACHINE; the Chocolatey script's choice of MSI.

    pwsh_checks.py PWSH-FOLDER CLONE WORK  (CLONE holds build/packages)
    pwsh_checks.py launch USER PROGRAM ARGS...  (the script's -Launcher)
"""
import glob
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "scripts", "environment"))
import wine

USER, SID = "haltctl-test", "S-1-5-21-7-8-9-"
UNINSTALL = "HKLM:\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
ENVIRONMENT = ("HKLM:\\SYSTEM\\CurrentControlSet\\Control\\Session Manager"
               "\\Environment")
OK = "The command completed successfully.\r\n\r\n"
GROUPS = [("Everyone", "Well-known group", "S-1-1-0"),
          ("BUILTIN\\Users", "Alias", "S-1-5-32-545"),
          ("NT AUTHORITY\\INTERACTIVE", "Well-known group", "S-1-5-4")]


def whoami(name, sid, privileges, groups=()):
    """whoami /all, laid out as Microsoft's documentation shows it."""
    return "\r\n".join(
        ["", "USER INFORMATION", "-" * 16, "", "%-20s SID" % "User Name",
         "=" * 20 + " " + "=" * 20, "%-20s %s" % (name, sid), "",
         "GROUP INFORMATION", "-" * 17, ""] +
        ["%-26s %-16s %-12s Mandatory group, Enabled by default, Enabled "
         "group" % g for g in GROUPS + list(groups)] +
        ["", "PRIVILEGES INFORMATION", "-" * 22, "", "%-23s %-30s State"
         % ("Privilege Name", "Description")] + ["%-23s %-30s %s" % (
             p, d, s) for p, d, s in privileges]) + "\r\n"


SHUTDOWN = ("SeShutdownPrivilege", "Shut down the system", "Disabled")
NOTIFY = ("SeChangeNotifyPrivilege", "Bypass traverse checking", "Enabled")
RIGHTS = ("[Unicode]\r\nUnicode=yes\r\n[Privilege Rights]\r\nSeShutdown"
          "Privilege = %s\r\n[Version]\r\nsignature=\"$CHICAGO$\"\r\n")
SECLOGON = {"Name": "seclogon", "State": "Stopped", "StartMode": "Manual"}
# What each Windows-only command answers: [on a Windows Server runner, on a
# client edition]. A program's answer: [standard output, status, the file it
# writes]; "hang": it never ends. A cmdlet's: what it returns.
MACHINE = {
    "Win32_OperatingSystem": [{
        "Caption": "Microsoft Windows " + c, "Version": "10.0." + b,
        "BuildNumber": b, "ProductType": t} for c, b, t in (
            ("Server 2022 Datacenter", "20348", 3),
            ("11 Enterprise", "26100", 1))],
    "Win32_Service Name='seclogon'": [SECLOGON] * 2,
    "HKLM:\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion": [
        {"EditionID": "ServerDatacenter", "UBR": 2966},
        {"EditionID": "Enterprise", "UBR": 2605}],
    ENVIRONMENT: [{"Path": r"%SystemRoot%\system32;%SystemRoot%",
                   "PROCESSOR_ARCHITECTURE": a} for a in ("AMD64", "ARM64")],
    "Get-WinEvent": [[]] * 2,
    "whoami /all": [[whoami("runner\\runneradmin", SID + "500", [
        SHUTDOWN, NOTIFY], [("BUILTIN\\Administrators", "Alias",
                             "S-1-5-32-544")]), 0]] * 2,
    "whoami /all as " + USER: [[whoami("runner\\" + USER, SID + "1001", [
        NOTIFY]), 0]] * 2,
    "net /add": [[OK, 0]] * 2, "net /delete": [[OK, 0]] * 2,
    "icacls /grant": [["processed file: haltctl-check\r\nSuccessfully "
                       "processed 1 files; Failed processing 0 files\r\n",
                       0]] * 2,
    "secedit /export /areas /cfg": [[
        "\r\nThe task has completed successfully.\r\nSee log %windir%\\"
        "security\\logs\\scesrv.log for detail info.\r\n", 0, RIGHTS % h]
        for h in ("*S-1-5-32-544,*S-1-5-32-551",
                  "*S-1-5-32-544,*S-1-5-32-545")],
}
STOPPED = "STOPPED, nothing further is run: "
# A run: its name, what it changes in MACHINE, the edition (0 a server),
# -Arch, the status it must end with, a line its output must hold.
RUNS = [
    ("a server", {}, 0, "x64", 0, "--- nothing contradicts the guards"),
    ("a client", {}, 1, "arm64", 0, "a client edition: every user"),
    ("the probe shows -r's flags for -s", {"haltctl-probe.exe -s": ["-r"]},
     0, "x64", 1, "request ['-s'] is made through the probe only"),
    ("the user holds the right", {"whoami /all as " + USER: [whoami(
        USER, SID + "1001", [SHUTDOWN, NOTIFY]), 0]}, 0, "x64", 1,
     STOPPED + USER + " holds SeShutdownPrivilege"),
    ("the job account is LocalSystem", {"whoami /all": [whoami(
        "nt authority\\system", "S-1-5-18", [SHUTDOWN]), 0]}, 0, "x64", 1,
     STOPPED + "the job account is LocalSystem"),
    ("a client edition on x64", {}, 1, "x64", 1, STOPPED + "this is a clie"),
    ("the probe shows a request for -?", {"haltctl-probe.exe -?": ["-r"]},
     0, "x64", 1, STOPPED + "the probe did not show ['-?']"),
    ("Secondary Logon disabled", {"Win32_Service Name='seclogon'": dict(
        SECLOGON, StartMode="Disabled")}, 0, "x64", 1, STOPPED + "Seconda"),
    ("whoami never ends", {"whoami /all": "hang"}, 0, "x64", 1,
     "ran whoami.exe ['/all']: ENDED after the 15 s limit"),
]
# The copy run here: programs get 15 s (so "never ends" takes 15 s), and
# msiexec's statuses are compared as Linux passes them on, in 8 bits.
COPY = [("$ProgramLimit = 120", "$ProgramLimit = 15"),
        ("$MsiLimit = 600", "$MsiLimit = 15"),
        ("$InstallBusy = 1618", "$InstallBusy = %d" % (1618 % 256)),
        ("$InstallFailure = 1603", "$InstallFailure = %d" % (1603 % 256))]
# The Chocolatey script: the machine's PROCESSOR_ARCHITECTURE, PowerShell's
# (and its PROCESSOR_ARCHITEW6432), the MSI it must take.
CHOCOLATEY = [("AMD64", "AMD64", "", "x64"), ("AMD64", "x86", "AMD64", "x64"),
              ("x86", "x86", "", "x86"), ("ARM64", "ARM64", "", "arm64"),
              ("ARM64", "AMD64", "", "arm64"),
              ("ARM64", "x86", "ARM64", "arm64")]
NO_PWSH = ("there is no pwsh in %s: scripts/test.sh installs it where the "
           ".NET SDK (dotnet) is on the PATH (docs/testing.md); skipped")


def pwsh(folder, command, env=None, timeout=1800):
    """pwsh -Command, as a `shell: pwsh` step runs it, in a process group
    all killed at the timeout (the status is then None) or on a signal."""
    with subprocess.Popen(
            [folder + "/pwsh", "-NoProfile", "-NonInteractive", "-Command",
             command], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, env=dict(os.environ, **(env or {})),
            start_new_session=True) as ran:
        try:
            return ran.communicate(timeout=timeout)[0], ran.returncode
        except subprocess.TimeoutExpired:
            os.killpg(ran.pid, signal.SIGKILL)
            return ran.communicate()[0], None
        except BaseException:
            os.killpg(ran.pid, signal.SIGKILL)
            raise


def parse(folder, paths):
    """{path: its errors} from PowerShell's own parser."""
    found = {path: [] for path in paths}
    for line in pwsh(folder, (
            "foreach ($f in $env:FILES -split \"`n\") { $e = $null; [void] "
            "[System.Management.Automation.Language.Parser]::ParseFile($f, "
            "[ref] $null, [ref] $e); foreach ($x in $e) { '{0}|{1}: {2}' "
            "-f $f, $x.Extent.StartLineNumber, $x.Message }; \"$f|\" }"),
            {"FILES": "\n".join(paths)})[0].splitlines():
        path, _, error = line.partition("|")
        found.setdefault(path, []).append(error or "parsed")
    return {path: errors[:-1] if errors[-1:] == ["parsed"] else errors + [
        "not parsed"] for path, errors in found.items()}


def prepare(clone, work):
    """What the workflow's build job uploads, from CLONE's release (arm64's
    names on x64's files, which Wine here runs), and the refusing prefix."""
    packages = os.path.join(clone, "build", "packages")
    version = re.search(r"haltctl-([0-9.]+)-buildinfo",
                        " ".join(os.listdir(packages))).group(1)
    nxt = re.sub(r"\d+$", lambda m: str(int(m.group()) + 1), version)
    probe, art = work + "/probe", work + "/artifacts/"
    for run in (["cmake", "--preset", "windows-x64", "-B", probe,
                 "-DHALTCTL_PROBE=ON", "-DBUILD_TESTING=OFF"],
                ["cmake", "--build", probe],
                ["/usr/bin/python3", ROOT + "/scripts/release/release.py",
                 "--version", nxt, "--epoch", "1700000000", "--source",
                 "a test", "--out", work + "/next", "--build",
                 "x64=%s/build/package/windows-x64" % clone]):
        subprocess.run(run, check=True, capture_output=True, cwd=ROOT)
    for kind in ("packages", "next", "probe"):
        os.makedirs(art + kind)
    for arch in ("x64", "arm64"):
        for source, target in (
                ("%s/haltctl-%s-windows-x64" % (packages, version),
                 "packages/haltctl-%s-windows-%s" % (version, arch)),
                ("%s/next/haltctl-%s-windows-x64" % (work, nxt),
                 "next/haltctl-%s-windows-%s" % (nxt, arch)),
                (probe + "/haltctl-probe", "probe/haltctl-probe-" + arch)):
            for ext in (".zip", ".msi", ".exe"):
                if os.path.exists(source + ext):
                    shutil.copy(source + ext, art + target + ext)
    wine.make(work + "/prefix")
    boot = work + "/prefix/drive_c/windows/system32/wineboot.exe"
    os.rename(boot, boot + ".away")
    return art, version, packages


def run_script(folder, text, run, prepared, work, cases=None):
    """Runs a copy of TEXT on RUN's machine, with CASES of cases.json (all
    without); returns its output, status and real requests."""
    art, version, _ = prepared
    tree = work + "/run/"
    shutil.rmtree(tree, ignore_errors=True)
    for name in ("tests/windows", "packaging", "logs", "C/Windows/System32"):
        os.makedirs(tree + name)
    shutil.copy(ROOT + "/packaging/haltctl.wxs", tree + "packaging")
    table = json.load(open(HERE + "/cases.json"))
    table["cases"] = [c for c in table["cases"]
                      if not cases or c["args"] in cases]
    json.dump(table, open(tree + "tests/windows/cases.json", "w"))
    for old, new in COPY:
        if old not in text:
            raise RuntimeError("%r is not in the script any more" % old)
        text = text.replace(old, new)
    open(tree + "tests/windows/windows_checks.ps1", "w").write(text)
    answers = {key: value[run[2]] for key, value in MACHINE.items()}
    answers.update(run[1])
    json.dump({"answers": answers, "kinds": {"Path": "ExpandString"}},
              open(tree + "machine.json", "w"))
    open(tree + "journal", "w").close()
    probe = open(art + "probe/haltctl-probe-%s.exe" % run[3], "rb").read()
    output, status = pwsh(folder, (
        ". '%s/standins.ps1'; & '%stests/windows/windows_checks.ps1' "
        "-Artifacts '%s' -Arch %s -Version %s -ProbeSha256 %s -Logs '%slogs'"
        " -Launcher '%s','%s',launch; if ((Test-Path -LiteralPath "
        "variable:\\LASTEXITCODE)) { exit $LASTEXITCODE }") % (
            HERE, tree, art, run[3], version, hashlib.sha256(
                probe).hexdigest(), tree, sys.executable, __file__), {
        "SystemRoot": tree + "C/Windows", "SystemDrive": tree + "C",
        "ProgramFiles": tree + "C/Program Files", "COMPUTERNAME": "RUNNER",
        "ProgramFiles(x86)": tree + "C/Program Files (x86)",
        "HALTCTL_MACHINE": tree + "machine.json",
        "HALTCTL_PREFIX": work + "/prefix"},
        60 if "hang" in run[1].values() else 1800)
    asked = [c["args"] for c in table["cases"] if "flags" in c]
    ran = [json.loads(line) for line in open(tree + "journal")]
    return output, status, [r for r in ran
                            if r[1] == "haltctl.exe" and r[2:] in asked]


def run_all(folder, text, prepared, work, cases=None, show=print):
    """Each run of RUNS until one goes wrong; returns what went wrong."""
    for run in RUNS:
        output, status, asked = run_script(folder, text, run, prepared,
                                           work, cases)
        show("--- %s: status %s, %d real requests" % (
            run[0], status, len(asked)))
        for line in output.splitlines():
            if re.match(r"(ok|FAIL|STOPPED|\d+ checks|.*: ENDED)", line):
                show("    " + line)
        wrong = [what for what, bad in (
            ("status %s, not %d" % (status, run[4]), status != run[4]),
            ("no line holding %r" % run[5], run[5] not in output),
            ("a real request as this account", ["", "haltctl.exe"] in [
                r[:2] for r in asked]),
            ("a real request after STOPPED", STOPPED in output and asked))
            if bad]
        if wrong:
            return "%s: %s\n%s" % (run[0], "; ".join(wrong), output)
    return None


def msiexec(machine, action, package, log):
    """msiexec /i or /x PACKAGE /qn /l*v LOG as Windows Installer runs this
    package, from its tables: its files, its PATH row, its uninstall entry,
    a major upgrade, and its launch condition against a downgrade."""
    def rows(table):
        return [row.split("\t") for row in subprocess.run(
            ["msiinfo", "export", package, table], capture_output=True,
            text=True, check=True).stdout.splitlines()[3:]]
    props = dict(row[:2] for row in rows("Property"))
    wide = ["ProgramFiles64Folder"] in [r[:1] for r in rows("Directory")]
    folder = os.environ["ProgramFiles" + ("" if wide else "(x86)")]
    folder += "/haltctl"
    added = rows("Environment")[0][2].split("[~]")[1].replace(
        "[INSTALLDIR]", folder + "\\")
    answers, env = machine["answers"], machine["answers"][ENVIRONMENT]
    products = [key for key in answers if key.startswith(UNINSTALL)]
    said, status = "Return value 1.", 0

    def version(text):
        return [int(n) for n in text.split(".")]
    if action == "/i" and any(version(answers[p]["DisplayVersion"]) >
                              version(props["ProductVersion"])
                              for p in products):
        said = rows("LaunchCondition")[0][1] + "\r\nReturn value 3."
        status = 1603
    else:
        for key in products:
            del answers[key]
        shutil.rmtree(folder, ignore_errors=True)
        env["Path"] = env["Path"][:-len(added)] if env["Path"].endswith(
            added) else env["Path"]
    if action == "/i" and not status:
        os.makedirs(os.path.dirname(folder), exist_ok=True)
        subprocess.run(["msiextract", "-C", log + ".files", package],
                       check=True, capture_output=True)
        shutil.move(os.path.dirname(glob.glob(glob.escape(
            log) + ".files/**/haltctl.exe", recursive=True)[0]), folder)
        env["Path"] += added
        answers[UNINSTALL + "\\" + props["ProductCode"]] = {
            "DisplayName": props["ProductName"],
            "DisplayVersion": props["ProductVersion"]}
    open(log, "wb").write(("=== Verbose logging started ===\r\n%s\r\n"
                           % said).encode("utf-16"))
    return b"", "", status


def on_path(machine):
    """haltctl.exe in a folder of the machine's PATH, or None."""
    for entry in machine["answers"][ENVIRONMENT]["Path"].split(";"):
        exe = os.path.join(entry.rstrip("\\"), "haltctl.exe")
        if entry and os.path.isfile(exe):
            return exe
    return None


def launch(user, program, args):
    """A program the script starts, as USER ('' for this account)."""
    with open(os.environ["HALTCTL_MACHINE"]) as f:
        machine = json.load(f)
    name, answers = os.path.basename(program).lower(), machine["answers"]
    with open(os.path.dirname(f.name) + "/journal", "a") as journal:
        journal.write(json.dumps([user, name] + args) + "\n")
    if name == "cmd.exe" and args[-1] == "haltctl -?" and on_path(machine):
        program, name, args = on_path(machine), "haltctl.exe", ["-?"]
    out, err, status = b"", "", 0
    if name in ("haltctl.exe", "haltctl-probe.exe"):
        out, err, status = wine.run(os.environ["HALTCTL_PREFIX"], [
            program] + answers.get(" ".join([name] + args), args))
        err = err.decode("latin-1")
        # Wine's one token holds the shutdown right; Windows would not
        # enable it for the test user (1300, ERROR_NOT_ALL_ASSIGNED).
        if user and name == "haltctl-probe.exe":
            out = out.replace(b"ege enabled\r", b"ege not enabled\r")
    elif name == "msiexec.exe":
        out, err, status = msiexec(machine, args[0], args[1],
                                   args[args.index("/l*v") + 1])
        json.dump(machine, open(f.name, "w"))
    elif name in ("where.exe", "cmd.exe"):
        found = on_path(machine)
        out, err, status = (found.encode() + b"\r\n", "", 0) if found else (
            b"", "INFO: Could not find files for the given pattern(s).\r\n",
            1)
    else:
        key = " ".join([name[:-4]] + [a for a in args
                                      if re.match(r"/[a-z*]+$", a)])
        answer = answers.get(key + (" as " + user if user else ""))
        while answer == "hang":
            time.sleep(60)
        out, status = (answer[0].encode(), answer[1]) if answer else (
            b"", 127)
        err = "" if answer else "no stand-in answers %s\n" % key
        if answer and len(answer) > 2:
            open(args[args.index("/cfg") + 1], "wb").write(
                answer[2].encode("utf-16"))
    sys.stdout.buffer.write(out)
    sys.stderr.write(err)
    return status


def main():
    if sys.argv[1:2] == ["launch"]:
        return launch(sys.argv[2], sys.argv[3], sys.argv[4:])
    folder, clone, work = sys.argv[1:4]
    if not os.access(folder + "/pwsh", os.X_OK):
        print(NO_PWSH % folder)
        return 1 if shutil.which("dotnet") and os.environ.get(
            "CI") == "true" else 77
    failures = [wine.enter_sandbox("x64")]
    if failures[0] is not None:
        return failures[0]

    def check(ok, what, detail=""):
        print("%-4s %s" % ("ok" if ok else "FAIL", what), flush=True)
        failures.extend([] if ok else [what + "\n" + detail])
    with wine.WorkFolder(work) as place:
        work = place.path
        print(pwsh(folder, "'PowerShell ' + $PSVersionTable.PSVersion")[0]
              .strip())
        prepared = prepare(clone, place.path)
        scripts = [HERE + "/windows_checks.ps1", HERE + "/standins.ps1"]
        release = glob.escape(prepared[2])
        with zipfile.ZipFile(glob.glob(
                release + "/manifests/chocolatey/*.nupkg")[0]) as nupkg:
            scripts += [nupkg.extract("tools/chocolatey%s.ps1" % n, work)
                        for n in ("Install", "Uninstall")]
        for path, errors in parse(folder, scripts).items():
            check(not errors, "PowerShell's parser: %s, %d error(s)" % (
                os.path.basename(path), len(errors)), "\n".join(errors))
        wrong = run_all(folder, open(scripts[0]).read(), prepared, work)
        check(not wrong, "every run as its row says", wrong or "")
        for machine, shell, outer, arch in CHOCOLATEY:
            json.dump({"answers": {ENVIRONMENT: {
                "PROCESSOR_ARCHITECTURE": machine}}, "kinds": {}},
                open(work + "/machine.json", "w"))
            said = pwsh(folder, ". '%s'; & '%s'" % tuple(scripts[1:3]), {
                "HALTCTL_MACHINE": work + "/machine.json",
                "PROCESSOR_ARCHITECTURE": shell,
                "PROCESSOR_ARCHITEW6432": outer})[0].strip()
            msi = glob.glob(release + "/*-windows-%s.msi" % arch)[0]
            wanted = "/%s sha256 %s" % (os.path.basename(msi), hashlib.sha256(
                open(msi, "rb").read()).hexdigest())
            check(said.lower().endswith(wanted), "Chocolatey on %s, %s "
                  "PowerShell%s: %s" % (machine, shell, " in WOW64" * bool(
                      outer), said.rsplit("/", 1)[-1][:40]), said)
    for failure in failures[1:]:
        print("FAIL: " + failure)
    return 1 if failures[1:] else 0


if __name__ == "__main__":
    sys.exit(main())
