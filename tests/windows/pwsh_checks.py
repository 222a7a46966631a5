#!/usr/bin/env python3
"""The project's PowerShell run by PowerShell 7 here: every .ps1 through its
own parser; windows_checks.ps1 end to end against a real release, the x64
programs under Wine (one prefix, in which ExitWindowsEx is refused, as it is
to a user without the right), every other Windows program and cmdlet a
stand-in answering from MACHINE; and the Chocolatey script's choice of MSI.

    pwsh_checks.py PWSH-FOLDER CLONE WORK    (CLONE: a clone with a release)
    pwsh_checks.py launch USER PROGRAM ARGS... (the script's -Launcher)

Exit status 77: no pwsh (scripts/test.sh installs it where dotnet is).
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
import wine  # noqa: E402

USER = "haltctl-test"
HKLM = "HKLM:\\SOFTWARE\\Microsoft\\Windows"
UNINSTALL = HKLM + "\\CurrentVersion\\Uninstall"
ENVIRONMENT = ("HKLM:\\SYSTEM\\CurrentControlSet\\Control\\"
               "Session Manager\\Environment")
SYSTEM_PATH = r"%SystemRoot%\system32;%SystemRoot%;%SystemRoot%\System32\Wbem"
OK = "The command completed successfully.\r\n\r\n"


def whoami(name, sid, groups, privileges):
    """whoami /all's text, laid out as Microsoft's documentation shows."""
    rows = ["", "USER INFORMATION", "-" * 16, "", "User Name %s SID" % (
        " " * 10), "=" * 19 + " " + "=" * 13, "%-19s %s" % (name, sid), "",
        "GROUP INFORMATION", "-" * 17, ""]
    rows += ["%-40s %-16s %-13s Mandatory group, Enabled by default, "
             "Enabled group" % (g, "Alias" if "BUILTIN" in g else
                                "Well-known group", s) for g, s in groups]
    rows += ["", "PRIVILEGES INFORMATION", "-" * 22, ""]
    rows += ["%-32s %-8s" % p for p in privileges]
    return "\r\n".join(rows) + "\r\n"


EVERYONE = [("Everyone", "S-1-1-0"), ("BUILTIN\\Users", "S-1-5-32-545"),
            ("NT AUTHORITY\\INTERACTIVE", "S-1-5-4")]
ADMIN = whoami("runner\\runneradmin", "S-1-5-21-7-8-9-500", EVERYONE + [
    ("BUILTIN\\Administrators", "S-1-5-32-544")], [
    ("SeShutdownPrivilege", "Disabled"), ("SeChangeNotifyPrivilege",
                                          "Enabled")])
USER_ON = {edition: whoami("runner\\" + USER, "S-1-5-21-7-8-9-1001",
                           EVERYONE, privileges) for edition, privileges in (
    ("server", [("SeChangeNotifyPrivilege", "Enabled")]),
    ("holding", [("SeShutdownPrivilege", "Disabled"),
                 ("SeChangeNotifyPrivilege", "Enabled")]))}
RIGHTS = ("[Unicode]\r\nUnicode=yes\r\n[Privilege Rights]\r\n"
          "SeShutdownPrivilege = %s\r\n[Version]\r\nsignature=\"$CHICAGO$\""
          "\r\nRevision=1\r\n")
EXPORTED = ("\r\nThe task has completed successfully.\r\nSee log "
            "%windir%\\security\\logs\\scesrv.log for detail info.\r\n")
OS = ("Microsoft Windows Server 2022 Datacenter", "10.0.20348", 3)
SECLOGON = {"Name": "seclogon", "State": "Stopped", "StartMode": "Manual"}
# What every Windows-only command answers: (on a Windows Server runner, on a
# client edition). A program's answer is [standard output, status, and the
# file it writes, if any]; a cmdlet's is what it returns; "hang" never ends.
MACHINE = {
    "Win32_OperatingSystem": [dict(zip(
        ("Caption", "Version", "ProductType"), o), BuildNumber=o[1][5:])
        for o in (OS, ("Microsoft Windows 11 Enterprise", "10.0.26100", 1))],
    "Win32_Service Name='seclogon'": [SECLOGON, SECLOGON],
    HKLM + " NT\\CurrentVersion": [{"EditionID": "ServerDatacenter",
                                    "UBR": 2966}, {"EditionID": "Enterprise",
                                                   "UBR": 2605}],
    ENVIRONMENT: [{"Path": SYSTEM_PATH, "PROCESSOR_ARCHITECTURE": a}
                  for a in ("AMD64", "ARM64")],
    "Get-WinEvent": [[], []],
    "whoami /all": [[ADMIN, 0]] * 2,
    "whoami /all as " + USER: [[USER_ON["server"], 0]] * 2,
    "net /add": [[OK, 0]] * 2, "net /delete": [[OK, 0]] * 2,
    "icacls /grant": [["processed file: haltctl-check\r\nSuccessfully "
                       "processed 1 files; Failed processing 0 files\r\n", 0]]
    * 2,
    "secedit /export /areas /cfg": [[EXPORTED, 0, RIGHTS % h] for h in (
        "*S-1-5-32-544,*S-1-5-32-551", "*S-1-5-32-544,*S-1-5-32-545")],
}
STOPPED = "STOPPED, nothing further is run: "
# A run: what differs from MACHINE, the edition, the architecture, its
# status, what its output must hold.
RUNS = [
    ("a server", {}, 0, "x64", 0, "--- nothing contradicts the guards"),
    ("a client", {}, 1, "arm64", 0, "a client edition: every user"),
    ("the probe shows -r's flags for -s", {"haltctl-probe.exe -s": ["-r"]},
     0, "x64", 1, "request ['-s'] is made through the probe only"),
    ("the user holds the right", {"whoami /all as " + USER: [
        USER_ON["holding"], 0]}, 0, "x64", 1, STOPPED + USER + " holds Se"),
    ("the job account is LocalSystem", {"whoami /all": [whoami(
        "nt authority\\system", "S-1-5-18", EVERYONE, [(
            "SeShutdownPrivilege", "Enabled")]), 0]}, 0, "x64", 1,
     STOPPED + "the job account is LocalSystem"),
    ("a client edition on x64", {}, 1, "x64", 1, STOPPED + "this is a client"),
    ("the probe shows a request for -?", {"haltctl-probe.exe -?": ["-r"]},
     0, "x64", 1, STOPPED + "the probe did not show ['-?']"),
    ("Secondary Logon disabled", {"Win32_Service Name='seclogon'": dict(
        SECLOGON, StartMode="Disabled")}, 0, "x64", 1, STOPPED + "Secondary"),
    ("whoami never ends", {"whoami /all": "hang"}, 0, "x64", 1,
     "ran whoami.exe ['/all']: ENDED after the 15 s limit"),
]
LIMIT = 15  # seconds a program may take in these runs (120 on Windows)
# The copy run here: shorter limits, and msiexec's statuses as Linux passes
# them on, in 8 bits (1603 arrives as 67, 1618 as 82).
COPY = [("$ProgramLimit = 120", "$ProgramLimit = %d" % LIMIT),
        ("$MsiLimit = 600", "$MsiLimit = %d" % LIMIT),
        ("$InstallBusy = 1618", "$InstallBusy = %d" % (1618 % 256)),
        ("$InstallFailure = 1603", "$InstallFailure = %d" % (1603 % 256))]
# The Chocolatey install script: the machine's, then PowerShell's
# architecture (with PROCESSOR_ARCHITEW6432 for a 32-bit one), the MSI.
CHOCOLATEY = [("AMD64", "AMD64", "", "x64"), ("AMD64", "x86", "AMD64", "x64"),
              ("x86", "x86", "", "x86"), ("ARM64", "ARM64", "", "arm64"),
              ("ARM64", "AMD64", "", "arm64"), ("ARM64", "x86", "ARM64",
                                                "arm64")]


def pwsh(folder, command, env=None, timeout=600):
    """Runs pwsh -Command (as a runner's `shell: pwsh` step does) in a
    process group of its own, all of which is killed at the timeout (the
    status is then None)."""
    with subprocess.Popen([os.path.join(folder, "pwsh"), "-NoProfile",
                           "-NonInteractive", "-Command", command],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, env=dict(os.environ, **(env or {})),
                          start_new_session=True) as ran:
        try:
            output = ran.communicate(timeout=timeout)[0]
            return ran.returncode, output
        except subprocess.TimeoutExpired:
            os.killpg(ran.pid, signal.SIGKILL)
            return None, ran.communicate()[0]


def parse(folder, paths):
    """{path: [error lines]} from PowerShell's own parser."""
    listing = pwsh(folder, "foreach ($f in $env:FILES -split \"`n\") { $e = "
                   "$null; [void] [System.Management.Automation.Language.Pars"
                   "er]::ParseFile($f, [ref] $null, [ref] $e); foreach ($x in "
                   "$e) { '{0}|{1}: {2}' -f $f, $x.Extent.StartLineNumber, "
                   "$x.Message }; \"$f|\" }", {"FILES": "\n".join(paths)})[1]
    found = {path: [] for path in paths}
    for line in listing.splitlines():
        path, _, error = line.partition("|")
        if error:
            found[path].append(error)
    return found


def prepare(clone, work):
    """The artifacts the workflow's build job uploads, from CLONE's release
    (arm64's named so but x64's, which Wine here runs), and a Wine prefix
    that refuses every request."""
    packages = os.path.join(clone, "build", "packages")
    version = re.search(r"haltctl-([0-9.]+)-buildinfo", " ".join(os.listdir(
        packages))).group(1)
    probe = os.path.join(work, "probe")
    for args in ([ROOT, "--preset", "windows-x64", "-B", probe,
                  "-DHALTCTL_PROBE=ON", "-DBUILD_TESTING=OFF"], [probe]):
        subprocess.run(["cmake", "-S" if len(args) > 2 else "--build"] + args,
                       check=True, capture_output=True, cwd=ROOT)
    nxt = ".".join(version.split(".")[:2] + [str(int(
        version.split(".")[2]) + 1)])
    subprocess.run(["/usr/bin/python3", os.path.join(
        ROOT, "scripts", "release", "release.py"), "--version", nxt,
        "--epoch", "1700000000", "--source", "a test", "--out", os.path.join(
            work, "next"), "--build", "x64=" + os.path.join(
            clone, "build", "package", "windows-x64")],
        check=True, capture_output=True)
    artifacts = os.path.join(work, "artifacts")
    for arch in ("x64", "arm64"):
        for kind, source, target in (
                ("packages", packages + "/haltctl-%s-windows-x64." % version,
                 "haltctl-%s-windows-%s." % (version, arch)),
                ("next", work + "/next/haltctl-%s-windows-x64." % nxt,
                 "haltctl-%s-windows-%s." % (nxt, arch)),
                ("probe", probe + "/haltctl-probe.", "haltctl-probe-%s."
                 % arch)):
            for ext in ("zip", "msi", "exe"):
                if os.path.exists(source + ext):
                    os.makedirs(os.path.join(artifacts, kind), exist_ok=True)
                    shutil.copy(source + ext, os.path.join(
                        artifacts, kind, target + ext))
    prefix = os.path.join(work, "wine", "prefix")
    os.makedirs(os.path.dirname(prefix))
    wine.choose_loader("x64")
    wine.make(prefix)
    os.rename(prefix + "/drive_c/windows/system32/wineboot.exe",
              prefix + "/drive_c/windows/system32/wineboot.exe.away")
    return artifacts, version, packages


def run_script(folder, text, run, prepared, work, cases=None, trace=None):
    """Runs TEXT, a copy of windows_checks.ps1 whose programs get LIMIT
    seconds, on the machine of RUN as a `shell: pwsh` step runs it; with
    cases, only those of cases.json; with trace, the lines it reaches go to
    that file. Returns its status, its output and its real requests."""
    _, changes, edition, arch = run[:4]
    artifacts, version, _ = prepared
    tree = os.path.join(work, "run")
    shutil.rmtree(tree, ignore_errors=True)
    drive = os.path.join(tree, "C")
    for name in ("tests/windows", "packaging", "logs", "C/Windows/System32"):
        os.makedirs(os.path.join(tree, name))
    shutil.copy(os.path.join(ROOT, "packaging", "haltctl.wxs"), tree + "/packaging")
    table = json.load(open(os.path.join(HERE, "cases.json")))
    table["cases"] = [c for c in table["cases"] if not cases or c["args"] in cases]
    json.dump(table, open(tree + "/tests/windows/cases.json", "w"))
    script = tree + "/tests/windows/windows_checks.ps1"
    with open(script, "w") as f:
        for old, new in COPY:
            if old not in text:
                raise RuntimeError("%r is not in the script any more" % old)
            text = text.replace(old, new)
        f.write(text)
    answers = {key: value[edition] for key, value in MACHINE.items()}
    answers.update(changes)
    open(tree + "/journal", "w").close()
    with open(tree + "/machine.json", "w") as f:
        json.dump({"answers": answers, "kinds": {"Path": "ExpandString"}}, f)
    with open(os.path.join(artifacts, "probe", "haltctl-probe-%s.exe" % arch), "rb") as f:
        probe = hashlib.sha256(f.read()).hexdigest()
    launcher = ",".join("'%s'" % a for a in (sys.executable, os.path.abspath(__file__), "launch"))
    watch = ("$global:Reached = @{}; [void] (Set-PSBreakpoint -Script '%s' -Line (1..%d) "
             "-Action { $global:Reached[$_.Line] = 1 }); " % (script, text.count("\n") + 1))
    status, output = pwsh(folder, (
        "%s. '%s'; & '%s' -Artifacts '%s' -Arch %s -Version %s -ProbeSha256 %s -Logs '%s' "
        "-Launcher %s; %sif ((Test-Path -LiteralPath variable:\\LASTEXITCODE)) "
        "{ exit $LASTEXITCODE }") % (
            watch if trace else "", os.path.join(HERE, "standins.ps1"), script, artifacts,
            arch, version, probe, tree + "/logs", launcher,
            "$global:Reached.Keys > '%s'; " % trace if trace else ""),
        {"SystemRoot": drive + "/Windows", "SystemDrive": drive, "COMPUTERNAME": "RUNNER",
         "ProgramFiles": drive + "/Program Files", "HALTCTL_MACHINE": tree + "/machine.json",
         "ProgramFiles(x86)": drive + "/Program Files (x86)",
         "HALTCTL_PREFIX": os.path.join(work, "wine", "prefix")},
        timeout=LIMIT * 4 if "hang" in changes.values() else 1800)
    asked = [c["args"] for c in table["cases"] if "flags" in c]
    with open(tree + "/journal") as f:
        ran = [json.loads(line) for line in f]
    return status, output, [r for r in ran if r[1] == "haltctl.exe" and r[2:] in asked]


def run_all(folder, text, prepared, work, cases=None, show=print, trace=None):
    """Every run of RUNS in turn until one goes wrong; returns what went
    wrong, or None."""
    for i, run in enumerate(RUNS):
        status, output, requests = run_script(folder, text, run, prepared, work, cases,
                                              trace and "%s.%d" % (trace, i))
        show("--- %s: status %s, %d real requests" % (run[0], status, len(requests)))
        for line in output.splitlines():
            if re.match(r"(ok|FAIL|STOPPED|\d+ checks|.*: ENDED after)", line):
                show("    " + line)
        wrong = [what for what, bad in (
            ("status %s, not %d" % (status, run[4]), status != run[4]),
            ("no line holding %r" % run[5], run[5] not in output),
            ("a real request as this account", any(r[0] == "" for r in requests)),
            ("a real request after STOPPED", STOPPED in output and requests)) if bad]
        if wrong:
            return "%s: %s\n%s" % (run[0], "; ".join(wrong), output)
    return None


def on_path(machine):
    for entry in machine["answers"][ENVIRONMENT]["Path"].split(";"):
        if entry and os.path.isfile(os.path.join(entry.rstrip("\\"), "haltctl.exe")):
            return os.path.join(entry.rstrip("\\"), "haltctl.exe")
    return None


def msiexec(machine, action, package, log):
    """msiexec /i or /x PACKAGE /qn /l*v LOG, as Windows Installer does it
    for this package: its files, the Environment table's PATH row, the
    product's uninstall entry, a major upgrade, and its launch condition
    against a downgrade (1603)."""
    def rows(table):
        return [line.split("\t") for line in subprocess.run(
            ["msiinfo", "export", package, table], capture_output=True, text=True,
            check=True).stdout.splitlines()[3:]]
    properties = dict(row[:2] for row in rows("Property"))
    wide = any(row[0] == "ProgramFiles64Folder" for row in rows("Directory"))
    folder = os.path.join(os.environ["ProgramFiles" + ("" if wide else "(x86)")], "haltctl")
    added = rows("Environment")[0][2].split("[~]", 1)[1].replace("[INSTALLDIR]", folder + "\\")
    answers, environment = machine["answers"], machine["answers"][ENVIRONMENT]
    products = [key for key in answers if key.startswith(UNINSTALL + "\\")]
    version = properties["ProductVersion"].split(".")
    said, status = "Return value 1.", 0
    if action == "/i" and any([int(n) for n in answers[key]["DisplayVersion"].split(".")] >
                              [int(n) for n in version] for key in products):
        said, status = rows("LaunchCondition")[0][1] + "\r\nReturn value 3.", 1603
    else:
        for key in products:
            del answers[key]
        shutil.rmtree(folder, ignore_errors=True)
        if environment["Path"].endswith(added):
            environment["Path"] = environment["Path"][:-len(added)]
        if action == "/i":
            extracted = os.path.join(os.path.dirname(log), "extracted")
            subprocess.run(["msiextract", "-C", extracted, package], check=True,
                           capture_output=True)
            shutil.copytree(os.path.dirname(glob.glob(extracted + "/**/haltctl.exe",
                                                      recursive=True)[0]), folder)
            shutil.rmtree(extracted)
            environment["Path"] += added
            answers[UNINSTALL + "\\" + properties["ProductCode"]] = {
                "DisplayName": properties["ProductName"],
                "DisplayVersion": properties["ProductVersion"]}
    with open(log, "wb") as f:
        f.write(("=== Verbose logging started ===\r\n%s\r\n=== Verbose logging stopped"
                 " ===\r\n" % said).encode("utf-16"))
    return b"", "", status


def launch(user, program, args):
    """A program the script starts: haltctl's under Wine, msiexec, where and
    cmd from the machine's state, any other from its answer in MACHINE."""
    path = os.environ["HALTCTL_MACHINE"]
    with open(path) as f:
        machine = json.load(f)
    answers, name = machine["answers"], os.path.basename(program).lower()
    with open(os.path.join(os.path.dirname(path), "journal"), "a") as f:
        f.write(json.dumps([user, name] + args) + "\n")
    if name == "cmd.exe" and args[-1] == "haltctl -?" and on_path(machine):
        program, name, args = on_path(machine), "haltctl.exe", ["-?"]
    out, err, status = b"", "", 0
    if name in ("haltctl.exe", "haltctl-probe.exe"):
        wine.choose_loader("x64")
        out, err, status = wine.run(os.environ["HALTCTL_PREFIX"], [program] + answers.get(
            " ".join([name] + args), args))
        err = err.decode("latin-1")
        # Wine gives every process one token, which holds the shutdown
        # right; Windows would not enable it for the test user (1300).
        if user and name == "haltctl-probe.exe":
            out = out.replace(b"Privilege enabled\r\n", b"Privilege not enabled\r\n")
    elif name == "msiexec.exe":
        out, err, status = msiexec(machine, args[0], args[1], args[args.index("/l*v") + 1])
        with open(path, "w") as f:
            json.dump(machine, f)
    elif name in ("where.exe", "cmd.exe"):
        found = on_path(machine)
        out, err, status = (found.encode() + b"\r\n", "", 0) if found else (
            b"", "INFO: Could not find files for the given pattern(s).\r\n", 1)
    else:
        key = " ".join([name[:-4]] + [a for a in args if re.match(r"/[a-z*]+$", a)])
        answer = answers.get(key + (" as " + user if user else ""))
        while answer == "hang":
            time.sleep(60)
        if answer is None:
            err, status = "no stand-in answers %s\n" % key, 127
        else:
            out, status = answer[0].encode(), answer[1]
        if answer and len(answer) > 2:
            with open(args[args.index("/cfg") + 1], "wb") as f:
                f.write(answer[2].encode("utf-16"))
    sys.stdout.buffer.write(out)
    sys.stderr.write(err)
    return status


def main():
    if sys.argv[1:2] == ["launch"]:
        return launch(sys.argv[2], sys.argv[3], sys.argv[4:])
    folder, clone, work = sys.argv[1:4]
    if not os.access(os.path.join(folder, "pwsh"), os.X_OK):
        print(NO_PWSH % folder)
        return 1 if shutil.which("dotnet") and os.environ.get("CI") == "true" else 77
    missing = wine.prepare("x64")
    if missing is not None:
        return missing
    failures = []

    def check(ok, what, detail=""):
        print("%-4s %s" % ("ok" if ok else "FAIL", what), flush=True)
        if not ok:
            failures.append(what + ("\n" + detail if detail else ""))

    with wine.WorkFolder(work) as place:
        print(pwsh(folder, "'PowerShell ' + $PSVersionTable.PSVersion")[1].strip())
        prepared = prepare(clone, place.path)
        scripts = [os.path.join(HERE, n) for n in ("windows_checks.ps1", "standins.ps1")]
        nupkg, = glob.glob(os.path.join(prepared[2], "manifests", "chocolatey", "*.nupkg"))
        with zipfile.ZipFile(nupkg) as package:
            for name in ("tools/chocolateyInstall.ps1", "tools/chocolateyUninstall.ps1"):
                scripts.append(package.extract(name, place.scratch("nupkg-" + name[6:-4])))
        for path, errors in parse(folder, scripts).items():
            check(not errors, "PowerShell's parser: %s, %d error(s)" % (
                os.path.basename(path), len(errors)), "\n".join(errors))
        text = open(scripts[0]).read()
        trace = os.path.join(place.path, "reached")
        wrong = run_all(folder, text, prepared, place.path, trace=trace)
        check(wrong is None, "every run of windows_checks.ps1 as its row says", wrong or "")
        reached = set()
        for name in glob.glob(trace + ".*"):
            reached |= {int(n) for n in open(name, encoding="utf-8-sig").read().split()}
        statements = pwsh(folder, "@([System.Management.Automation.Language.Parser]::ParseFile("
                          "'%s', [ref] $null, [ref] $null).FindAll({ $args[0] -is [System."
                          "Management.Automation.Language.StatementAst] }, $true) | ForEach-"
                          "Object { $_.Extent.StartLineNumber } | Sort-Object -Unique) -join ' '"
                          % scripts[0])[1].split()
        print("windows_checks.ps1: the runs reached %d of its %d lines that begin a statement"
              % (len(reached & {int(n) for n in statements}), len(statements)))
        for machine, shell, outer, arch in CHOCOLATEY:
            with open(os.path.join(place.path, "machine.json"), "w") as f:
                json.dump({"answers": {ENVIRONMENT: {"PROCESSOR_ARCHITECTURE": machine}},
                           "kinds": {}}, f)
            _, said = pwsh(folder, ". '%s'; & '%s'" % (scripts[1], scripts[2]), {
                "HALTCTL_MACHINE": os.path.join(place.path, "machine.json"),
                "PROCESSOR_ARCHITECTURE": shell, "PROCESSOR_ARCHITEW6432": outer})
            msi, = glob.glob(os.path.join(prepared[2], "haltctl-*-windows-%s.msi" % arch))
            with open(msi, "rb") as f:
                wanted = "/%s sha256 %s" % (os.path.basename(msi), hashlib.sha256(
                    f.read()).hexdigest().upper())
            check(wanted.lower() in said.strip().lower(),
                  "Chocolatey on %s, PowerShell %s%s: %s" % (
                      machine, shell, " in WOW64" if outer else "",
                      said.strip().rsplit("/", 1)[-1][:40]), said)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


NO_PWSH = ("there is no PowerShell in %s: scripts/test.sh installs it where the .NET SDK "
           "(dotnet) is on the PATH (docs/testing.md says how to get it); skipped")

if __name__ == "__main__":
    sys.exit(main())
