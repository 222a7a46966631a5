"""Wine prefixes that a test owns: made in a work folder of the test's own,
never ~/.wine, and cleaned up however the test ends.

Every Wine server started here is told to exit on its own a few seconds
after its last program has ended (wineserver -p N), so even a test killed
with SIGKILL leaves no Wine process behind for long. A test that is
terminated (SIGTERM, SIGINT, SIGHUP, as ctest does on a timeout) unwinds
through its `finally` blocks; a work folder left behind by a killed run is
removed when the next run starts.
"""
import os
import shutil
import signal
import subprocess
import tempfile

RUN_TIMEOUT = 120
SERVER_LINGER = 15  # seconds a server outlives the last program of its prefix


SKIP = 77  # the status ctest reads as "skipped"


def MissingStatus(arch):
    """None when Wine can run executables of this architecture; otherwise
    says why and returns the status to exit with: a skip, except with
    CI=true, where a missing Wine is a failure."""
    if shutil.which("wine") is None or shutil.which("wineserver") is None:
        missing = "wine is not installed"
    elif arch == "x86" and not os.path.isdir("/usr/lib/i386-linux-gnu/wine"):
        missing = "Wine's 32-bit support (wine32:i386) is not installed"
    else:
        return None
    in_ci = os.environ.get("CI") == "true"
    print(missing + ("" if in_ci else "; skipped"))
    return 1 if in_ci else SKIP


def Env(prefix, debug="-all"):
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix
    env["WINEDEBUG"] = debug
    # No Mono or Gecko installer prompts, and no window, ever.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    env.pop("DISPLAY", None)
    return env


def Run(prefix, args, debug="-all", timeout=RUN_TIMEOUT):
    """Runs `wine ARGS` in the prefix; returns (stdout, stderr, status).
    Output goes through files, not pipes: processes that outlive the program
    (services, or wineboot.exe after a session end) inherit its output
    handles and would hold a pipe open. A file also makes a program's stdout
    fully buffered, as when a user redirects it."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        run = subprocess.run(["wine"] + list(args), env=Env(prefix, debug),
                             stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        return out.read(), err.read(), run.returncode


def StartServer(prefix):
    """A server that stays between programs but exits on its own once the
    prefix has been idle for SERVER_LINGER seconds."""
    subprocess.run(["wineserver", "-p%d" % SERVER_LINGER], env=Env(prefix), check=True,
                   timeout=RUN_TIMEOUT)


def StopServer(prefix):
    """Ends every process of the prefix and its server, and waits for them."""
    env = Env(prefix)
    try:
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True, timeout=30)
        subprocess.run(["wineserver", "-w"], env=env, capture_output=True, timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        pass  # the server's own linger limit ends it


def Make(prefix, relay_include=()):
    """Makes a new prefix; with relay_include, sets the functions that
    WINEDEBUG=+relay traces in it. Fails loudly if Wine cannot make it."""
    os.makedirs(prefix)
    StartServer(prefix)
    out, err, status = Run(prefix, ["wineboot", "-i"])
    if status != 0:
        raise RuntimeError("wineboot -i failed with status %d in %s:\n%s"
                           % (status, prefix, (out + err).decode("latin-1")[-2000:]))
    if relay_include:
        SetValues(prefix, "Software\\Wine\\Debug", {"RelayInclude": ";".join(relay_include)})
    StopServer(prefix)  # so that the registry is on disk


def SetValues(prefix, key, values):
    """Sets string values under HKEY_CURRENT_USER\\KEY in the prefix."""
    with tempfile.NamedTemporaryFile("w", suffix=".reg", dir=prefix, delete=False) as f:
        f.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\%s]\n" % key)
        f.writelines('"%s"="%s"\n' % item for item in values.items())
    Run(prefix, ["regedit", "/S", f.name])
    os.unlink(f.name)


class WorkFolder:
    """A folder for a test's prefixes. Entering it removes what a killed
    earlier run left there and turns SIGTERM, SIGINT and SIGHUP into an
    exit that unwinds; leaving it stops every server and removes it all."""

    def __init__(self, path):
        self.path = os.path.abspath(path)

    def __enter__(self):
        self.Clean()
        os.makedirs(self.path)
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, self._Interrupted)
        return self

    def __exit__(self, *exc):
        self.Clean()
        return False

    @staticmethod
    def _Interrupted(number, frame):
        raise SystemExit(128 + number)

    def Prefix(self, name):
        return os.path.join(self.path, name)

    def Clean(self):
        if not os.path.isdir(self.path):
            return
        for name in os.listdir(self.path):
            path = os.path.join(self.path, name)
            if os.path.isfile(os.path.join(path, "system.reg")):
                StopServer(path)
        shutil.rmtree(self.path, ignore_errors=True)
