#!/usr/bin/env python3
"""End-to-end tests of a built haltctl.exe under Wine, an implementation of
the Win32 API that nobody here wrote.

Each case runs the real executable in a Wine prefix made for this suite and
removed after it, and checks the bytes on standard output, the exit status,
and, from Wine's relay trace of the program's own thread, exactly which
platform calls the program made with which arguments. Under Wine a session
end only ends the processes of that prefix; the host is never touched.

The cases and their output come from cases.json, which the Windows
workflow's checks read too. Every request case also runs through the probe
build (haltctl-probe.exe): status 0, the request and the privilege state
printed, the same privilege calls made, and nothing ended.

    wine_e2e.py --exe haltctl.exe --probe haltctl-probe.exe
                --arch x64|x86|arm64 --objdump OBJDUMP
                --version X.Y.Z --work DIR

Exit status 77 means the suite did not run (a skip): this machine cannot run
32-bit programs (x86) or QEMU's emulation (x86 without IA32, arm64), or Wine
is missing, which with CI=true is a failure.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

# The project's Wine environment.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "scripts", "environment"))
import wine

CASES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cases.json")

# The calls the program may make of the platform. GetCurrentThread and
# GetCurrentProcess do not pass through Wine's relay, so the pseudo-handles
# are checked where they are used instead.
TRACED = ["user32.ExitWindowsEx", "advapi32.OpenThreadToken", "advapi32.OpenProcessToken",
          "advapi32.LookupPrivilegeValueA", "advapi32.AdjustTokenPrivileges",
          "KERNEL32.CloseHandle", "KERNEL32.GetLastError"]

REFUSED_CASES = [(["-r"], 2), (["-lf"], 4)]
# The delay-load helper's exception (module not found), which Wine's trace
# names and which ends the program: the host sees the code's low byte.
DELAY_LOAD_FAILURE = 0xC06D007E
MISSING_DLL = "missing DLL"  # a request whose DLLs cannot be loaded
PROBE = "probe"  # a request through the probe build


def wine_processes(prefix):
    """The processes of this user that run in the Wine prefix: Wine gives
    its programs the WINEPREFIX they run in."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue  # gone, or not ours
        if b"WINEPREFIX=" + prefix.encode() in environ:
            found.append(int(pid))
    return found


def lines(texts):
    """Text lines as the program's text-mode stdout writes them."""
    return b"".join(line.encode("latin-1") + b"\r\n" for line in texts)


def load_table(version):
    """The shared cases, and the banner and usage bytes they name."""
    table = json.load(open(CASES, encoding="utf-8"))
    banner = lines(line.replace("{version}", version) for line in table["banner"])
    return table, banner, lines(table["usage"])


class Failure(Exception):
    pass


def parse_hex(text):
    return int(text.split()[0], 16)


class Suite:
    def __init__(self, exe, probe, arch, objdump, version, work):
        self.exe = os.path.abspath(exe)
        self.probe = os.path.abspath(probe)
        self.table, self.banner, self.usage = load_table(version)
        self.arch = arch
        self.bits = 32 if arch == "x86" else 64
        self.entry = {path: self.entry_point(objdump, path) for path in (self.exe, self.probe)}
        self.work = work
        self.failures = []
        self.cases = 0
        self.live = None  # the prefix whose server is running, if any

    def entry_point(self, objdump, exe):
        """The entry point's address relative to the image base: where the
        image is loaded is Wine's choice, since the image is relocatable."""
        header = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                                text=True).stdout
        return int(re.search(r"^AddressOfEntryPoint\s+([0-9a-fA-F]+)", header, re.M).group(1), 16)

    def start_prefix(self, prefix):
        """Starts the server and the prefix's services, untraced, so that a
        traced run traces the program alone and starts quickly."""
        if self.live == prefix:
            return
        self.stop_prefix(self.live)
        self.stop_prefix(prefix)  # whatever a failed case may have left
        wine.start_server(prefix)
        # Any program starts the services; cmd.exe is one that every prefix
        # has, the refusing one included.
        wine.run(prefix, ["cmd", "/c", "exit"])
        self.live = prefix

    def stop_prefix(self, prefix):
        """A session end has started wineboot.exe, which must not meet the
        next program: every process of the prefix is ended."""
        self.live = None
        if prefix is not None:
            wine.stop_server(prefix)

    def make_prefix(self):
        prefix = self.work.prefix("prefix")
        started = time.monotonic()
        wine.make(prefix, TRACED)
        print("prefix made in %.1f s (%s)" % (time.monotonic() - started, prefix), flush=True)
        return prefix

    def copy_prefix(self, prefix, name):
        """A copy of the prefix to change. Hard links keep it cheap; the
        registry files, which Wine rewrites, are copied outright, and the
        copy's server gets a folder of its own."""
        copy = self.work.prefix(name)
        subprocess.run(["cp", "-al", prefix, copy], check=True)
        for name in os.listdir(copy):
            if name == "wineserver":  # Debian's: names the server's folder, the copy's own
                os.unlink(os.path.join(copy, name))
            elif name.endswith(".reg"):
                path = os.path.join(copy, name)
                os.unlink(path)
                shutil.copy2(os.path.join(prefix, name), path)
        return copy

    def make_refusing_prefix(self, prefix):
        """A copy in which ExitWindowsEx cannot start wineboot.exe and so
        refuses every request."""
        refusing = self.copy_prefix(prefix, "refusing")
        renamed = 0
        for folder in ("system32", "syswow64"):
            boot = os.path.join(refusing, "drive_c", "windows", folder, "wineboot.exe")
            if os.path.exists(boot):
                os.rename(boot, boot + ".away")
                renamed += 1
        if renamed == 0:
            raise Failure("no wineboot.exe found to rename in %s" % refusing)
        return refusing

    def make_dll_less_prefix(self, prefix):
        """A copy in which haltctl.exe, and only it, can load neither USER32
        nor ADVAPI32 (Wine's per-program DLL overrides)."""
        dll_less = self.copy_prefix(prefix, "dll-less")
        wine.set_values(dll_less, "Software\\Wine\\AppDefaults\\%s\\DllOverrides"
                                  % os.path.basename(self.exe), {"user32": "", "advapi32": ""})
        wine.stop_server(dll_less)
        return dll_less

    def killed_run_case(self, prefix):
        """A run killed with SIGKILL while its programs ran (as ctest ends
        a test past its time): its sandbox ends with it, and the kernel
        ends every process Wine started there, server and services too."""
        self.cases += 1
        label = "a killed run's Wine ends with it"
        copy = self.copy_prefix(prefix, "killed")
        killed = subprocess.Popen(wine.sandbox_command(self.arch, [sys.executable, "-c", """if 1:
            import sys, time
            sys.path.insert(0, sys.argv[1])
            import wine
            wine.enter_sandbox(sys.argv[2])
            wine.run(sys.argv[3], ["cmd", "/c", "exit"])
            print("started", flush=True)
            time.sleep(600)""", os.path.dirname(wine.__file__), self.arch, copy]),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        try:
            started = any(line.startswith("started") for line in killed.stdout)
            running = len(wine_processes(copy))
        finally:
            killed.kill()
            killed.wait()
        deadline = time.monotonic() + 5
        while wine_processes(copy) and time.monotonic() < deadline:
            time.sleep(0.1)
        after = wine_processes(copy)
        if started and running > 1 and not after:
            print("ok   %-40s %d processes, all ended with it" % (label, running), flush=True)
        else:
            print("FAIL %-40s %d processes while it ran, %d after"
                  % (label, running, len(after)), flush=True)
            self.failures.append(label)

    def own_calls(self, trace, exe):
        """The traced calls of the program's own thread: the thread that
        loaded the executable (Wine's loaddll trace names it and the address
        it was loaded at) and then started at its entry point there.
        Returns [(name, [args], retval)]."""
        name = re.escape(os.path.basename(exe))
        loaded = re.search(r'^([0-9a-f]{4}):trace:loaddll:\w+ Loaded L".*\\%s" at ([0-9A-Fa-f]+)'
                           % name, trace, re.M | re.I)
        if loaded is None:
            raise Failure("the trace shows no thread loading %s; it begins %r"
                          % (os.path.basename(exe), trace[:600]))
        thread, base = loaded.group(1), int(loaded.group(2), 16)
        started = re.search(r"^%s:Starting (?:thread|process) proc ([0-9A-Fa-f]+)" % thread,
                            trace, re.M)
        if started is None or int(started.group(1), 16) != base + self.entry[exe]:
            raise Failure("thread %s, which loaded the executable at %x, did not start at its "
                          "entry point %x" % (thread, base, base + self.entry[exe]))
        calls = []
        call = re.compile(r"^%s:Call ([\w.]+)\((.*)\) ret=" % thread)
        ret = re.compile(r"^%s:Ret  ([\w.]+)\(\) retval=([0-9a-f]+) " % thread)
        for line in trace.splitlines():
            m = call.match(line)
            if m and m.group(1) in TRACED:
                args = [a.strip() for a in m.group(2).split(",")] if m.group(2) else []
                calls.append([m.group(1), args, None])
                continue
            m = ret.match(line)
            if m and m.group(1) in TRACED and calls and calls[-1][0] == m.group(1):
                calls[-1][2] = parse_hex(m.group(2))
        return calls

    def expect_request_calls(self, calls, flags, accepted):
        """The privilege step, then the request: through the probe, only the
        privilege step, the recorder's own reading of the token after it,
        and no request."""
        thread = (1 << self.bits) - 2
        process = (1 << self.bits) - 1
        names = [c[0].split(".")[1] for c in calls]
        expected = ["OpenThreadToken", "GetLastError", "OpenProcessToken",
                    "LookupPrivilegeValueA", "AdjustTokenPrivileges", "GetLastError",
                    "CloseHandle", "ExitWindowsEx"]
        if accepted is PROBE:
            expected[-1:] = ["OpenThreadToken", "GetLastError", "OpenProcessToken",
                             "LookupPrivilegeValueA", "CloseHandle"]
        if names != expected:
            raise Failure("calls %s, expected %s" % (" ".join(names), " ".join(expected)))
        (open_thread, no_token, open_process, lookup, adjust, adjusted, close) = calls[:7]
        checks = [
            (parse_hex(open_thread[1][0]) == thread, "OpenThreadToken not on the current thread"),
            (parse_hex(open_thread[1][1]) == 0x28, "OpenThreadToken access is not 0x28"),
            (parse_hex(open_thread[1][2]) == 1, "OpenThreadToken OpenAsSelf is not TRUE"),
            (open_thread[2] == 0, "OpenThreadToken did not fail"),
            (no_token[2] == 1008, "the last error after OpenThreadToken is not ERROR_NO_TOKEN"),
            (parse_hex(open_process[1][0]) == process,
             "OpenProcessToken not on the current process"),
            (parse_hex(open_process[1][1]) == 0x28, "OpenProcessToken access is not 0x28"),
            (open_process[2] == 1, "OpenProcessToken failed"),
            (parse_hex(lookup[1][0]) == 0, "LookupPrivilegeValueA was given a system name"),
            (lookup[1][1].endswith('"SeShutdownPrivilege"'),
             "LookupPrivilegeValueA was not asked for SeShutdownPrivilege"),
            (parse_hex(adjust[1][0]) not in (0, thread, process),
             "AdjustTokenPrivileges was not given a token"),
            ([parse_hex(a) for a in adjust[1][3:]] == [0, 0, 0] and parse_hex(adjust[1][1]) == 0,
             "AdjustTokenPrivileges arguments are not (token, FALSE, state, 0, NULL, NULL)"),
            (adjusted[2] == 0, "the last error after AdjustTokenPrivileges is not 0"),
            (close[1] == [adjust[1][0]], "CloseHandle did not close the adjusted token"),
        ]
        if accepted is not PROBE:
            request = calls[7]
            checks += [
                ([parse_hex(a) for a in request[1]] == [flags, 0],
                 "ExitWindowsEx(%s), expected (%08x, 0)" % (",".join(request[1]), flags)),
                ((request[2] != 0) == accepted, "ExitWindowsEx returned %s" % request[2]),
            ]
        for ok, message in checks:
            if not ok:
                raise Failure(message)

    def expect_banner(self, out):
        if not out.startswith(self.banner):
            raise Failure("the banner is %r, expected %r" % (out[:len(self.banner)], self.banner))
        return out[len(self.banner):]

    def case(self, label, prefix, args, status, flags=None, accepted=True):
        self.cases += 1
        started = time.monotonic()
        exe = self.probe if accepted is PROBE else self.exe
        try:
            self.start_prefix(prefix)
            try:
                out, err, returncode = wine.run(prefix, [exe] + args,
                                                debug="+relay,+loaddll")
            finally:
                # After a session end nothing of the prefix may live on; after
                # a usage run or the probe the server and services are kept.
                if flags is not None and accepted is not PROBE:
                    self.stop_prefix(prefix)
            trace = err.decode("latin-1")
            rest = self.expect_banner(out)
            if status is not None and returncode != status:
                raise Failure("exit status %d, expected %d" % (returncode, status))
            calls = self.own_calls(trace, exe)
            if flags is MISSING_DLL:
                # No call made, no status of the program's own, and the
                # delay-load helper's exception in the trace; whatever Wine's
                # debugger prints after the banner is its own affair.
                made = [c[0] for c in calls if not c[0].startswith("KERNEL32.")]
                if made:
                    raise Failure("made calls %s, printed %r" % (made, rest[:200]))
                code = "%08x" % DELAY_LOAD_FAILURE
                if returncode != DELAY_LOAD_FAILURE & 0xFF or code not in trace.lower():
                    raise Failure("status %d, and no '%s' in the trace" % (returncode, code))
            elif flags is None:
                if rest != self.usage:
                    raise Failure("after the banner: %r" % rest)
                if calls:
                    raise Failure("platform calls on a usage path: %s" % calls)
            elif accepted is PROBE:
                # Wine grants every privilege, so the step enabled it.
                recorded = lines([self.table["probe"].replace("{flags}", str(flags))
                                  .replace("{privilege}", "enabled")])
                if rest != recorded:
                    raise Failure("after the banner: %r, expected %r" % (rest, recorded))
                # In any process of the prefix: no request, no wineboot.exe
                # started to end the session.
                if re.search(r":Call user32\.ExitWindowsEx\(|Loaded L\".*wineboot\.exe\"",
                             trace, re.I):
                    raise Failure("the probe made a request, or a session end began")
                self.expect_request_calls(calls, flags, accepted)
            else:
                if rest != b"":
                    raise Failure("printed after the banner: %r" % rest)
                self.expect_request_calls(calls, flags, accepted)
            print("ok   %-40s %.1f s" % (label, time.monotonic() - started), flush=True)
        except Exception as failure:  # one broken case must not stop the others
            kind = "" if isinstance(failure, Failure) else type(failure).__name__ + ": "
            print("FAIL %-40s %s%s" % (label, kind, failure), flush=True)
            self.failures.append(label)
            self.stop_prefix(prefix)

    def run(self):
        started = time.monotonic()
        try:
            prefix = self.make_prefix()
        except (OSError, RuntimeError, subprocess.SubprocessError) as error:
            print("FAIL: Wine could not make its prefix: %s" % error)
            return 1
        table = self.table["cases"]
        for row in table:
            if "flags" in row:
                self.case("request %r" % row["args"], prefix, row["args"], 0, row["flags"])
            elif row["prints"] == "usage":
                self.case("%s %r" % (row["group"], row["args"]), prefix, row["args"],
                          row["status"])
            else:
                raise Failure("cases.json: a case prints %r" % row["prints"])
        for row in table:
            if "flags" in row:
                self.case("probe %r" % row["args"], prefix, row["args"], 0, row["flags"],
                          accepted=PROBE)
        print("%d cases from cases.json, %d of them also through the probe"
              % (len(table), sum("flags" in row for row in table)), flush=True)
        self.stop_prefix(prefix)  # so its registry is on disk before the copy
        self.killed_run_case(prefix)
        refusing = self.make_refusing_prefix(prefix)
        for args, flags in REFUSED_CASES:
            self.case("refused %r" % args, refusing, args, 1, flags, accepted=False)
        # Help needs neither DLL; a request that cannot load them fails
        # visibly, with the delay-load helper's exception, and asks nothing.
        dll_less = self.make_dll_less_prefix(prefix)
        self.case("help without USER32, ADVAPI32", dll_less, ["-?"], 0)
        self.case("request without USER32, ADVAPI32", dll_less, ["-rf"], None,
                  flags=MISSING_DLL)
        print("%s: %d cases, %d failed, %.1f s in all"
              % (self.arch, self.cases, len(self.failures), time.monotonic() - started))
        return 1 if self.failures else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--probe", required=True, help="the probe build of the same sources")
    parser.add_argument("--arch", choices=["x64", "x86", "arm64"], required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--version", required=True, help="the project's version")
    parser.add_argument("--work", required=True, help="a folder for the suite's prefixes")
    options = parser.parse_args()

    missing = wine.enter_sandbox(options.arch)
    if missing is not None:
        return missing

    with wine.WorkFolder(options.work) as work:
        return Suite(options.exe, options.probe, options.arch, options.objdump, options.version,
                     work).run()


if __name__ == "__main__":
    sys.exit(main())
