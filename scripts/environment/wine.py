"""The project's Wine environment, the one place that knows how Wine runs
here: which loader runs an architecture, whether the x86 and arm64 builds
run natively or through QEMU (scripts/environment/emulation.sh), the
environment a Wine program gets (none of the caller's Wine settings, no
window, no dialog, no debugger), making, keeping and removing a prefix
(never ~/.wine), and starting, stopping and cleaning up its server. The Wine
suites and the release checks import it; run.sh and bench.sh call it:

    wine.py emulated ARCH            status 0 where ARCH runs through QEMU here
    wine.py can-run-32bit            status 0 where this kernel runs i386 programs
    wine.py prefix ARCH PREFIX       makes PREFIX unless Wine made it as it is now
    wine.py remove PREFIX            ends its programs and removes it
    wine.py exec ARCH PREFIX [--debug CHANNELS] -- PROGRAM ARGS...
                                     runs a Windows program in PREFIX
    wine.py wait ARCH PREFIX         waits until the prefix's programs have ended
    wine.py loader ARCH              prints the loader that runs ARCH

No Wine process ever holds the test runner's output: programs write to
files, and every Wine server a test needs is started here as its child, in
the foreground, its output in a log beside its prefix. Each server exits on
its own a few seconds after the last program of its prefix has ended (-p N),
is ended by its process id when `wineserver -k` does not end it, and is gone
before its prefix is removed. A server that never gets a program (a Wine
that cannot start) would not linger out, so the ids are also written to the
work folder, and the next run ends what a killed run left there.

ctest ends a test that runs past its TIMEOUT with SIGKILL, which nothing can
catch: then the work folder, and any server the test started, are left for
the next run to remove. SIGTERM, SIGINT and SIGHUP (a user's kill or Ctrl-C)
unwind through the clean-up.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

RUN_TIMEOUT = 120
SERVER_LINGER = 15  # seconds a server outlives the last program of its prefix
SERVER_START = 20   # seconds a new server may take to open its socket
SKIP = 77  # the status ctest reads as "skipped"

# Debian's `wine` runs the 32-bit loader whenever wine32 is installed, even
# for a 64-bit program, and that fails on a kernel without 32-bit support:
# 64-bit programs go to the 64-bit loader itself, and the server is called
# directly too, so that its process id is the one started here.
WINE64 = "/usr/lib/wine/wine64"
WINESERVER64 = "/usr/lib/wine/wineserver64"
# An architecture that runs through QEMU here (emulated()) runs its test
# again inside scripts/environment/emulation.sh: there `wine` and
# `wineserver` run a Debian root's Wine (for x86 its 32-bit side, for arm64
# all of it) through QEMU, and EMULATION_ROOT names that root's view.
EMULATION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "emulation.sh")
EMULATION_ROOT = os.environ.get("HALTCTL_EMULATION_ROOT")
# Where each architecture's Wine keeps its DLLs: for x86 without it there
# is no Wine for 32-bit programs; for arm64 the emulation's root lacks Wine.
WINE_DLLS = {"x86": "/usr/lib/i386-linux-gnu/wine", "arm64": "/usr/lib/aarch64-linux-gnu/wine"}

_loader = ["wine"]
_servers = {}  # prefix: the Popen of its server
_keeping = False  # making a kept prefix, whose server folder is kept with it


def can_run32bit_programs():
    """Whether this kernel runs 32-bit x86 Linux programs, which Wine's
    32-bit side needs: Debian's arch-test runs a tiny i386 program, natively
    only. None where it cannot tell."""
    try:
        return subprocess.run(["arch-test", "-n", "i386"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0
    except FileNotFoundError:
        return None


def emulated(arch):
    """Whether ARCH's build runs through QEMU here: x86 where the kernel
    cannot run it, or everywhere with HALTCTL_X86_EMULATION=1 (to try the
    emulated path on a machine that does not need it); arm64 on any host
    that is not arm64; never inside the emulation itself."""
    if EMULATION_ROOT is not None:
        return False
    if arch == "arm64":
        return os.uname().machine != "aarch64"
    return arch == "x86" and (
        os.environ.get("HALTCTL_X86_EMULATION") == "1" or can_run32bit_programs() is False)


def choose_loader(arch):
    """Debian's `wine` runs the 32-bit loader whenever wine32 is installed,
    even for a 64-bit program, and that fails on a kernel without 32-bit
    support: 64-bit programs go to the 64-bit loader itself."""
    global _loader
    _loader = [WINE64] if arch == "x64" and os.access(WINE64, os.X_OK) else ["wine"]
    return _loader


def prepare(arch):
    """Chooses Wine's loader for the architecture. Returns None when Wine
    can run its executables; otherwise says why and returns the status to
    exit with: a skip where this machine cannot run 32-bit programs at all
    (nothing an install could add), else a skip that CI=true makes a
    failure."""
    in_ci = os.environ.get("CI") == "true"
    choose_loader(arch)
    if shutil.which(_loader[0]) is None or shutil.which(server_command()) is None:
        missing = "wine is not installed"
    elif emulated(arch):
        # It says why, in one line, and exits 77 where it cannot run.
        sys.stdout.flush()
        os.execv("/bin/bash", ["bash", EMULATION, "exec", arch, "--", sys.executable] + sys.argv)
    elif arch in WINE_DLLS and not os.path.isdir((EMULATION_ROOT or "") + WINE_DLLS[arch]):
        missing = ("Wine's 32-bit support (wine32:i386) is not installed" if arch == "x86"
                   else "Wine for arm64 is not installed")
    else:
        if EMULATION_ROOT is not None:
            print("%s runs through QEMU user emulation here (%s)" % (
                "Wine's 32-bit side" if arch == "x86" else "Wine for arm64", EMULATION))
        return None
    print(missing + ("" if in_ci else "; skipped"))
    return 1 if in_ci else SKIP


def server_command():
    if EMULATION_ROOT is not None:
        return "wineserver"  # the root's
    return WINESERVER64 if os.access(WINESERVER64, os.X_OK) else "wineserver"


def env(prefix, debug="-all"):
    """The environment of the prefix's Wine: none of the caller's Wine
    settings (a WINEARCH or WINESERVER of theirs would change which Wine
    runs, or break it), only the test's."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
    env["WINEPREFIX"] = prefix
    env["WINEDEBUG"] = debug
    if _loader == [WINE64]:
        env["WINELOADER"] = WINE64  # for the processes Wine starts itself
    # No Mono or Gecko installer prompts, and no window, ever; no debugger
    # either, so that a crash ends the program with its exception's code.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winedbg.exe=d"
    env.pop("DISPLAY", None)
    # Debian 13's server crashes when TMPDIR is set at all.
    env.pop("TMPDIR", None)
    # Wine's own messages, which the checks read, untranslated.
    env.pop("LANGUAGE", None)
    env["LC_ALL"] = "C.UTF-8"
    return env


def run(prefix, args, debug="-all", timeout=RUN_TIMEOUT, check=False):
    """Runs `wine ARGS` in the prefix; returns (stdout, stderr, status), or
    with check, fails with Wine's output unless the status is 0.
    Output goes through files, not pipes: processes that outlive the program
    (services, or wineboot.exe after a session end) inherit its output
    handles and would hold a pipe open. A file also makes a program's stdout
    fully buffered, as when a user redirects it."""
    start_server(prefix)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        run = subprocess.run(_loader + list(args), env=env(prefix, debug),
                             stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout)
        out, err = snapshot(out), snapshot(err)
    if check and run.returncode != 0:
        raise RuntimeError("%s failed with status %d in %s:\n%s" % (
            " ".join(args[:2]), run.returncode, prefix, (out + err).decode("latin-1")[-2000:]))
    return out, err, run.returncode


def snapshot(f):
    """What the file holds so far, read through a file description of its
    own: processes that outlive the program still write through the one
    they share with it, and moving its offset back to the start would make
    them overwrite what is there."""
    with open("/proc/self/fd/%d" % f.fileno(), "rb") as again:
        return again.read()


def debian_server_folder(prefix):
    """The folder Debian's Wine makes for the prefix's server, named in the
    prefix's file `wineserver` and kept after the server ends; None where
    Wine has its own /tmp/.wine-UID."""
    try:
        with open(os.path.join(prefix, "wineserver")) as f:
            name = f.read().strip()
    except OSError:
        return None
    return os.path.join("/tmp", name) if name.startswith("wine-") else None


def listening(prefix):
    """Whether the prefix's server has its socket open, in a folder named
    after the prefix's device and inode."""
    info = os.stat(prefix)
    name = "server-%x-%x" % (info.st_dev, info.st_ino)
    folders = ["/tmp/.wine-%d" % os.getuid(), debian_server_folder(prefix)]
    return any(os.path.exists(os.path.join(f, name, "socket")) for f in folders if f)


def start_server(prefix):
    """Starts the prefix's server unless this test's own server for it is
    running, and waits until it listens. A server that exits at once fails
    with its own words."""
    server = _servers.get(prefix)
    if server is not None and server.poll() is None:
        return
    log_path = prefix + ".server.log"
    with open(log_path, "ab") as log:
        server = subprocess.Popen([server_command(), "-f", "-p%d" % SERVER_LINGER], env=env(prefix),
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    _servers[prefix] = server
    record(prefix, pid=server.pid)
    deadline = time.monotonic() + SERVER_START
    while not listening(prefix):
        if server.poll() is not None:
            with open(log_path, errors="replace") as log:
                raise RuntimeError("the Wine server for %s exited with status %d:\n%s"
                                   % (prefix, server.returncode, log.read()[-2000:]))
        if time.monotonic() > deadline:
            raise RuntimeError("the Wine server for %s did not open its socket in %d s"
                               % (prefix, SERVER_START))
        time.sleep(0.02)
    record(prefix, folder=debian_server_folder(prefix))


def record(prefix, **entry):
    """Notes what this run made for the prefix (its server's id, Debian's
    server folder) in the work folder's record, for the next run to end
    should this one be killed, and notes its server folder for
    scripts/test.sh to check that it is gone."""
    entry["prefix"] = prefix
    with open(os.path.join(os.path.dirname(prefix), "servers"), "a") as f:
        f.write(json.dumps(entry) + "\n")
    note_folder(entry.get("folder"))


def note_folder(folder):
    """Adds a server folder that must be gone when the suite ends to the
    file HALTCTL_WINE_FOLDERS names, if set: never a kept prefix's."""
    folders = os.environ.get("HALTCTL_WINE_FOLDERS")
    if folders and folder and not _keeping:
        with open(folders, "a") as f:
            f.write(folder + "\n")


def stop_server(prefix):
    """Ends every process of the prefix and its server, and waits for them;
    a server of this test's that -k does not end is killed by its id."""
    server = _servers.pop(prefix, None)
    try:
        subprocess.run([server_command(), "-k"], env=env(prefix), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    except subprocess.TimeoutExpired:
        pass
    if server is not None:
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
    # Even a -k that found no server leaves Debian's folder behind.
    folder = debian_server_folder(prefix)
    if folder:
        shutil.rmtree(folder, ignore_errors=True)


def make(prefix, relay_include=()):
    """Makes a new prefix; with relay_include, sets the functions that
    WINEDEBUG=+relay traces in it. Fails loudly if Wine cannot make it."""
    os.makedirs(prefix)
    run(prefix, ["wineboot", "-i"], check=True)
    if relay_include:
        set_values(prefix, "Software\\Wine\\Debug", {"RelayInclude": ";".join(relay_include)})
    stop_server(prefix)  # so that the registry is on disk


def set_values(prefix, key, values):
    """Sets string values under HKEY_CURRENT_USER\\KEY in the prefix."""
    with tempfile.NamedTemporaryFile("w", suffix=".reg", dir=prefix, delete=False) as f:
        f.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\%s]\n" % key)
        f.writelines('"%s"="%s"\n' % item for item in values.items())
    try:
        run(prefix, ["regedit", "/S", f.name], check=True)
    finally:
        os.unlink(f.name)


def wine_processes(folder):
    """{pid: prefix} of every process of this user whose Wine prefix is in
    the folder: Wine gives its own programs the WINEPREFIX they run in."""
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue  # gone, or not ours
        for entry in environ:
            if entry.startswith(b"WINEPREFIX=" + folder.encode() + os.sep.encode()):
                found[int(pid)] = entry[len(b"WINEPREFIX="):].decode()
    return found


def end_wine(folder):
    """Ends everything of Wine that a run, this one or a killed earlier one,
    left for prefixes in the folder, as `wineserver -k` would: each live
    server ends its programs, then any process left (a program whose server
    was killed waits on it for ever) is killed, and Debian's server folders
    in /tmp are removed."""
    entries = []
    try:
        with open(os.path.join(folder, "servers")) as f:
            entries = [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        pass
    running = wine_processes(folder)
    live = {e["prefix"] for e in entries if running.get(e.get("pid")) == e["prefix"]}
    for prefix in live:
        try:
            subprocess.run([server_command(), "-k"], env=env(prefix), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        except subprocess.TimeoutExpired:
            pass
    for kill in [False] * bool(live) + [True]:  # a live server's -k first
        deadline = time.monotonic() + 10
        while wine_processes(folder) and time.monotonic() < deadline:
            for pid in wine_processes(folder) if kill else ():
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            time.sleep(0.1)
    for server in _servers.values():
        server.poll()  # reaps this run's own
    for name in {e["folder"] for e in entries if e.get("folder")}:
        shutil.rmtree(name, ignore_errors=True)


class WorkFolder:
    """A folder for a test's prefixes and scratch files. Entering it removes
    what a killed earlier run left there and turns SIGTERM, SIGINT and
    SIGHUP into an exit that unwinds; leaving it stops every server and
    removes it all."""

    def __init__(self, path):
        self.path = os.path.abspath(path)

    def __enter__(self):
        self.clean()
        os.makedirs(self.path)
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, self._interrupted)
        return self

    def __exit__(self, *exc):
        self.clean()
        return False

    @staticmethod
    def _interrupted(number, frame):
        raise SystemExit(128 + number)

    def prefix(self, name):
        return os.path.join(self.path, name)

    def scratch(self, name):
        """A folder for scratch files, inside the work folder."""
        path = os.path.join(self.path, name)
        os.makedirs(path)
        return path

    def clean(self):
        if not os.path.isdir(self.path):
            return
        for prefix in [p for p in _servers if p.startswith(self.path + os.sep)]:
            stop_server(prefix)
        end_wine(self.path)
        shutil.rmtree(self.path)


# The functions run.sh's and bench.sh's kept prefixes trace.
KEPT_RELAY = ["user32.ExitWindowsEx"]


def prefix_stamp():
    """What made a kept prefix: the Wine that made it, and whether Wine's
    32-bit side was installed then (a prefix made before may no longer
    start)."""
    version = subprocess.run(_loader + ["--version"], env=env(os.devnull),
                             capture_output=True, text=True)
    if version.returncode != 0:
        raise RuntimeError("Wine does not start: '%s --version' failed:\n%s"
                           % (_loader[0], (version.stdout + version.stderr).strip()))
    wine32 = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "wine32:i386"],
                            capture_output=True, text=True).stdout == "install ok installed"
    return "%s wine32:%s" % (version.stdout.strip(), "yes" if wine32 else "no")


def keep_prefix(prefix, arch):
    """Makes the kept prefix unless the Wine of now made it. It is made in a
    work folder of its own beside it and renamed into place when whole, so
    an interrupted making is never taken for a prefix, and the next one
    ends what it left."""
    global _keeping
    choose_loader(arch)
    stamp = prefix_stamp()
    try:
        with open(os.path.join(prefix, ".haltctl-made-by")) as f:
            if f.read().strip() == stamp:
                return
    except OSError:
        pass
    print("setup: making the Wine prefix %s (about 20 s, once)%s" % (
        prefix, "; starting afresh: an interrupted run left %s.making" % prefix
        if os.path.isdir(prefix + ".making") else ""), file=sys.stderr, flush=True)
    remove_prefix(prefix)
    # Wine names the server folder in the prefix and makes it again at each
    # later run, so it lasts as long as the prefix: not one for the suite to
    # find gone. A throwaway prefix's is noted when it is removed.
    _keeping = True
    try:
        with WorkFolder(prefix + ".making") as folder:
            new = folder.prefix("prefix")
            make(new, KEPT_RELAY)
            with open(os.path.join(new, ".haltctl-made-by"), "w") as f:
                f.write(stamp + "\n")
            os.rename(new, prefix)
    finally:
        _keeping = False


def remove_prefix(prefix):
    """Ends the prefix's programs and its server, waits for them, and
    removes the prefix with what Wine keeps for it in /tmp."""
    if os.path.isdir(prefix):
        note_folder(debian_server_folder(prefix))
        stop_server(prefix)
        shutil.rmtree(prefix)
    WorkFolder(prefix + ".making").clean()  # what an interrupted making left


def main(argv):
    command, arguments = (argv[1], argv[2:]) if len(argv) > 1 else ("", [])
    try:
        if command == "emulated" and len(arguments) == 1:
            return 0 if emulated(arguments[0]) else 1
        if command == "can-run-32bit" and not arguments:
            return 0 if can_run32bit_programs() else 1
        if command == "loader" and len(arguments) == 1:
            print(choose_loader(arguments[0])[0])
            return 0
        if command == "prefix" and len(arguments) == 2:
            keep_prefix(os.path.abspath(arguments[1]), arguments[0])
            return 0
        if command == "remove" and len(arguments) == 1:
            remove_prefix(os.path.abspath(arguments[0]))
            return 0
        if command == "wait" and len(arguments) == 2:
            choose_loader(arguments[0])
            return subprocess.run([server_command(), "-w"],
                                  env=env(os.path.abspath(arguments[1]))).returncode
        if command == "exec" and len(arguments) >= 4 and "--" in arguments:
            split = arguments.index("--")
            options, program = arguments[:split], arguments[split + 1:]
            debug = options[3] if options[2:3] == ["--debug"] else "-all"
            loader = choose_loader(options[0])
            os.execvpe(loader[0], loader + program, env(os.path.abspath(options[1]), debug))
    except (RuntimeError, OSError) as error:
        print("error: %s" % error, file=sys.stderr)
        return 1
    print(__doc__.split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
