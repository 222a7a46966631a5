"""The project's Wine environment, the one place that knows how Wine runs
here: which loader runs an architecture, natively or through QEMU, the
environment a Wine program gets (none of the caller's Wine settings, no
window, no dialog, no debugger), and the prefixes (never ~/.wine). The Wine
suites and the release checks import it; the scripts call it:

    wine.py blocker ARCH             prints why ARCH's Wine cannot run here
                                     (status 0), or nothing (status 1)
    wine.py emulated ARCH            status 0 where ARCH runs through QEMU here
    wine.py prefix ARCH PREFIX       makes PREFIX unless Wine made it
                                     as it is now
    wine.py exec ARCH PREFIX|--fresh [--debug CHANNELS] -- PROGRAM ARGS...
                                     runs a Windows program in PREFIX (or in a
                                     new one that ends with the run), and waits
                                     until the programs it started have ended

Every Wine program runs in a sandbox of bubblewrap's: user, mount and pid
namespaces of its own, and a /tmp of its own. When the command in it ends,
however it ends, the kernel ends every process Wine started there and drops
every mount: nothing of Wine's outlives a run, and nothing is registered or
mounted outside it. The Wine of a foreign architecture (x86 where the kernel
cannot run 32-bit programs, arm64 wherever the host is not arm64) is a
Debian root's, build/ARCH-root/RELEASE (setup.sh makes it), shown as / to
each of its programs by a sandbox inside the sandbox. No binfmt_misc handler
is needed: Wine starts every program through the preloader beside its
loader, which in the root is QEMU itself, and its server through the root's
wineserver, which runs the real one through QEMU (wineserver.c).
"""
import functools
import getpass
import os
import platform
import shutil
import signal
import subprocess
import sys
import tempfile

RUN_TIMEOUT = 120
SERVER_TIMEOUT = 60  # seconds the programs of a prefix may take to end
SERVER_LINGER = 15  # seconds a started server outlives the prefix's last program
SKIP = 77  # the status ctest reads as "skipped"
PROJECT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Set inside the sandbox, to the architecture it runs.
SANDBOX = "HALTCTL_SANDBOX"
# The record of a whole root (setup.sh's ensure_wine_root).
ROOT_RECORD = ".haltctl-root"

# Debian's `wine` runs the 32-bit loader whenever wine32 is installed, even
# for a 64-bit program, which fails on a kernel without 32-bit support.
WINE64 = "/usr/lib/wine/wine64"
WINESERVER64 = "/usr/lib/wine/wineserver64"
# The loader in an emulated architecture's root.
EMULATED_LOADER = {"x86": "/usr/lib/wine/wine", "arm64": "/usr/lib/wine/wine64"}
# QEMU's default CPU for arm64 checks branch targets (BTI), and Debian 13's
# arm64 ntdll.so is marked for them while its syscall dispatchers start
# without a landing instruction: the first call from Windows code into them
# traps, and Wine loops on the exception for ever. A Neoverse V1 has no BTI.
QEMU_CPU = {"arm64": "neoverse-v1"}
# Where each architecture's Wine keeps its DLLs.
WINE_DLLS = {"x86": "/usr/lib/i386-linux-gnu/wine", "arm64": "/usr/lib/aarch64-linux-gnu/wine"}


@functools.lru_cache(maxsize=None)  # the kernel's, for the whole run
def can_run32bit_programs():
    """Whether this kernel runs 32-bit x86 programs (Debian's arch-test runs
    a tiny one, natively only); None where it cannot tell."""
    try:
        return subprocess.run(["arch-test", "-n", "i386"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0
    except FileNotFoundError:
        return None


def emulated(arch):
    """Whether ARCH's build runs through QEMU here: x86 where the kernel
    cannot run it, or with HALTCTL_X86_EMULATION=1 (to try that path
    anywhere); arm64 on any host that is not arm64."""
    if arch == "arm64":
        return os.uname().machine != "aarch64"
    return arch == "x86" and (
        os.environ.get("HALTCTL_X86_EMULATION") == "1" or can_run32bit_programs() is False)


def root_folder(arch):
    """The Debian root of ARCH's emulated Wine, for the host's release."""
    release = platform.freedesktop_os_release().get("VERSION_CODENAME") or "unknown"
    return os.path.join(PROJECT, "build", "%s-root" % arch, release)


def shown_folders():
    """The project folder and the current one, which a sandbox shows."""
    return [f for f in dict.fromkeys([PROJECT, os.getcwd()]) if f != "/"]


def sandbox_command(arch, command):
    """COMMAND in a sandbox (see the module's text): the host's files, its
    own /tmp, the project and current folders at their paths. Root's user
    id in it is 1: a sandbox whose user is root may not mount /proc in one
    inside it."""
    binds = ["--uid", "1", "--gid", "1"] if os.getuid() == 0 else []
    for folder in shown_folders():
        if folder.startswith("/tmp/"):  # the rest of the host is there already
            binds += ["--bind", folder, folder]
    return (["bwrap", "--unshare-user", "--unshare-pid", "--die-with-parent",
             "--dev-bind", "/", "/", "--tmpfs", "/tmp"] + binds +
            ["--proc", "/proc", "--setenv", SANDBOX, arch, "--"] + list(command))


def view_command(root, command):
    """COMMAND with ROOT shown as / (in the sandbox): the root's folders
    read-only (writable where the project or current folder's mount point
    must be made), its links, /dev, /proc, /sys, /tmp and those two."""
    shown = shown_folders()
    view = ["bwrap"]
    for name in sorted(os.listdir(root)):
        path = os.path.join(root, name)
        if name in ("dev", "proc", "sys", "tmp") or name.startswith("."):
            continue
        if os.path.islink(path):
            view += ["--symlink", os.readlink(path), "/" + name]
        elif os.path.isdir(path):
            inside = any(f == "/" + name or f.startswith("/%s/" % name) for f in shown)
            view += ["--bind" if inside else "--ro-bind", path, "/" + name]
    view += ["--dev-bind", "/dev", "/dev", "--bind", "/proc", "/proc", "--ro-bind", "/sys", "/sys",
             "--bind", "/tmp", "/tmp"]
    for folder in shown:
        view += ["--bind", folder, folder]
    return view + ["--chdir", os.getcwd(), "--"] + list(command)


def blocker(arch):
    """Why ARCH's Wine cannot run here, or None: no sandbox can be made (no
    unprivileged user namespace), or a root still to be made cannot be made
    as this user (no subordinate ids for mmdebstrap's user namespace)."""
    if shutil.which("bwrap") is None:
        return None  # missing() says so
    tried = subprocess.run(["bwrap", "--unshare-user", "--unshare-pid", "--dev-bind", "/", "/",
                            "true"], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if tried.returncode != 0:
        words = (tried.stderr.strip().splitlines() or ["status %d" % tried.returncode])[-1]
        return ("this machine allows no sandbox for Wine (%s): allow unprivileged user "
                "namespaces (sysctl kernel.unprivileged_userns_clone=1, or in a container "
                "run it with them)" % words)
    user = getpass.getuser()
    if emulated(arch) and os.getuid() != 0 and not made(arch) and not all(
            any(line.split(":")[0] in (user, str(os.getuid())) for line in open(path))
            for path in ("/etc/subuid", "/etc/subgid") if os.path.exists(path)):
        return ("the %s Wine root is made in a user namespace, which needs subordinate ids for "
                "%s: as root, run 'usermod --add-subuids 100000-165535 --add-subgids "
                "100000-165535 %s'" % (arch, user, user))
    return None


def made(arch):
    return os.path.exists(os.path.join(root_folder(arch), ROOT_RECORD))


def commands(arch=None):
    """The loader and the server that run ARCH's programs here; by default
    those of the architecture the sandbox was made for."""
    arch = arch or os.environ.get(SANDBOX)
    if arch and emulated(arch):
        root, loader = root_folder(arch), EMULATED_LOADER[arch]
        return {"loader": view_command(root, [loader + "-preloader", loader]),
                "server": view_command(root, ["/usr/lib/wine/wineserver"])}
    if arch == "x64" and os.access(WINE64, os.X_OK):
        return {"loader": [WINE64], "server": [WINESERVER64]}
    return {"loader": ["wine"], "server": ["wineserver"]}


def missing(arch):
    """What ARCH's Wine lacks here that an install would bring, or None."""
    if shutil.which("bwrap") is None:
        return "bubblewrap (bwrap), in which every Wine run works, is not installed"
    if emulated(arch):
        return None if made(arch) else ("the %s Wine root %s is not made yet (scripts/test.sh or "
                                        "scripts/run.sh --%s makes it)"
                                        % (arch, root_folder(arch), arch))
    if shutil.which("wine") is None:
        return "wine is not installed"
    if arch in WINE_DLLS and not os.path.isdir(WINE_DLLS[arch]):
        return ("Wine's 32-bit support (wine32:i386) is not installed" if arch == "x86"
                else "Wine for arm64 is not installed")
    return None


def enter_sandbox(arch):
    """Runs this program again in ARCH's sandbox and does not return;
    inside it, returns None. Where Wine cannot run here, says why in one
    line and returns the status to exit with: a skip, which CI=true makes a
    failure where an install would help."""
    if os.environ.get(SANDBOX) == arch:
        if emulated(arch):
            print("%s runs through QEMU user emulation here, in %s" % (
                "Wine's 32-bit side" if arch == "x86" else "Wine for arm64", root_folder(arch)))
        return None
    why = blocker(arch)
    if why is not None:
        print(why + "; skipped")
        return SKIP
    lacking = missing(arch)
    if lacking is not None:
        in_ci = os.environ.get("CI") == "true"
        print(lacking + ("" if in_ci else "; skipped"))
        return 1 if in_ci else SKIP
    sys.stdout.flush()
    command = sandbox_command(arch, [sys.executable] + sys.argv)
    os.execvp(command[0], command)


def env(prefix, debug="-all"):
    """The environment of the prefix's Wine: none of the caller's Wine
    settings (a WINEARCH or WINESERVER of theirs would change which Wine
    runs, or break it), only the test's."""
    wine_env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
    wine_env["WINEPREFIX"] = prefix
    wine_env["WINEDEBUG"] = debug
    if commands()["loader"] == [WINE64]:
        wine_env["WINELOADER"] = WINE64  # for the processes Wine starts itself
    # No Mono or Gecko installer prompts, and no window, ever; no debugger
    # either, so that a crash ends the program with its exception's code.
    wine_env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winedbg.exe=d"
    wine_env.pop("DISPLAY", None)
    # Debian 13's server crashes when TMPDIR is set at all.
    wine_env.pop("TMPDIR", None)
    # Wine's own messages, which the checks read, untranslated.
    wine_env.pop("LANGUAGE", None)
    wine_env["LC_ALL"] = "C.UTF-8"
    for arch, cpu in QEMU_CPU.items():
        if os.environ.get(SANDBOX) == arch:
            wine_env["QEMU_CPU"] = cpu
    return wine_env


def run(prefix, args, debug="-all", timeout=RUN_TIMEOUT, check=False):
    """Runs `wine ARGS` in the prefix; returns (stdout, stderr, status), or
    with check, fails with Wine's output unless the status is 0. Output goes
    through files, which make stdout fully buffered, as when a user
    redirects it; processes that outlive the program keep them open."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run(commands()["loader"] + list(args), env=env(prefix, debug),
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                timeout=timeout).returncode
        out, err = snapshot(out), snapshot(err)
    if check and status != 0:
        raise RuntimeError("%s failed with status %d in %s:\n%s" % (
            " ".join(args[:2]), status, prefix, (out + err).decode("latin-1")[-2000:]))
    return out, err, status


def snapshot(f):
    """What the file holds so far, read through a description of its own:
    moving the shared offset would make the processes that still write
    through it overwrite what is there."""
    with open("/proc/self/fd/%d" % f.fileno(), "rb") as again:
        return again.read()


def server(prefix, *options):
    """Runs the prefix's server with OPTIONS (-k ends its programs, -w waits
    until they have ended and the registry is written)."""
    subprocess.run(commands()["server"] + list(options), env=env(prefix),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=SERVER_TIMEOUT)


def start_server(prefix):
    """Starts the prefix's server unless one runs, to keep it and the
    services SERVER_LINGER s after the last program (Debian's ends them at
    once), so that the next program does not start wineboot.exe again."""
    server(prefix, "-p%d" % SERVER_LINGER)


def stop_server(prefix):
    """Ends the prefix's programs and waits until its server has ended."""
    server(prefix, "-k")
    server(prefix, "-w")


def make(prefix, relay_include=()):
    """Makes a new prefix; with relay_include, sets the functions that
    WINEDEBUG=+relay traces in it. Fails loudly if Wine cannot make it."""
    os.makedirs(prefix)
    run(prefix, ["wineboot", "-i"], check=True)
    if relay_include:
        set_values(prefix, "Software\\Wine\\Debug", {"RelayInclude": ";".join(relay_include)})
    server(prefix, "-w")  # so that the registry is on disk


def set_values(prefix, key, values):
    """Sets string values under HKEY_CURRENT_USER\\KEY in the prefix."""
    with tempfile.NamedTemporaryFile("w", suffix=".reg", dir=prefix, delete=False) as f:
        f.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\%s]\n" % key)
        f.writelines('"%s"="%s"\n' % item for item in values.items())
    try:
        run(prefix, ["regedit", "/S", f.name], check=True)
    finally:
        os.unlink(f.name)


class WorkFolder:
    """A folder of a test's own for its prefixes and scratch files: made
    anew on entering, where SIGTERM, SIGINT and SIGHUP become an exit that
    unwinds, and removed on leaving."""

    def __init__(self, path):
        self.path = os.path.abspath(path)

    def __enter__(self):
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(self.path)
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, self._interrupted)
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)
        return False

    @staticmethod
    def _interrupted(number, frame):
        raise SystemExit(128 + number)

    def prefix(self, name):
        return os.path.join(self.path, name)

    def scratch(self, name):
        path = os.path.join(self.path, name)
        os.makedirs(path)
        return path


# The functions run.sh's and bench.sh's kept prefixes trace.
KEPT_RELAY = ["user32.ExitWindowsEx"]
MADE_BY = ".haltctl-made-by"


def prefix_stamp():
    """The Wine that makes a kept prefix (another's may not start)."""
    version = subprocess.run(commands()["loader"] + ["--version"], env=env(os.devnull),
                             capture_output=True, text=True)
    if version.returncode != 0:
        raise RuntimeError("Wine does not start: '%s --version' failed:\n%s"
                           % (commands()["loader"][-1], (version.stdout + version.stderr).strip()))
    return "%s for %s" % (version.stdout.strip(), os.environ.get(SANDBOX))


def keep_prefix(prefix):
    """Makes the kept prefix unless the Wine of now made it: beside it, and
    renamed into place when whole."""
    stamp = prefix_stamp()
    try:
        with open(os.path.join(prefix, MADE_BY)) as f:
            if f.read().strip() == stamp:
                return
    except OSError:
        pass
    print("setup: making the Wine prefix %s (about 20 s, once)%s" % (
        prefix, "; starting afresh: an interrupted run left %s.making" % prefix
        if os.path.isdir(prefix + ".making") else ""), file=sys.stderr, flush=True)
    shutil.rmtree(prefix, ignore_errors=True)
    with WorkFolder(prefix + ".making") as folder:
        new = folder.prefix("prefix")
        make(new, KEPT_RELAY)
        with open(os.path.join(new, MADE_BY), "w") as f:
            f.write(stamp + "\n")
        os.rename(new, prefix)


def main(argv):
    command, arguments = (argv[1], argv[2:]) if len(argv) > 1 else ("", [])
    try:
        if command == "blocker" and len(arguments) == 1:
            why = blocker(arguments[0])
            if why:
                print(why)
            return 0 if why else 1
        if command == "emulated" and len(arguments) == 1:
            return 0 if emulated(arguments[0]) else 1
        if command == "prefix" and len(arguments) == 2:
            status = enter_sandbox(arguments[0])
            if status is not None:
                return status
            keep_prefix(os.path.abspath(arguments[1]))
            return 0
        if command == "exec" and len(arguments) >= 4 and "--" in arguments:
            split = arguments.index("--")
            options, program = arguments[:split], arguments[split + 1:]
            status = enter_sandbox(options[0])
            if status is not None:
                return status
            prefix = os.path.abspath(options[1])
            if options[1] == "--fresh":  # in the sandbox's /tmp, gone with it
                prefix = "/tmp/fresh-prefix"
                make(prefix, KEPT_RELAY)
            debug = options[3] if options[2:3] == ["--debug"] else "-all"
            status = subprocess.run(commands()["loader"] + program,
                                    env=env(prefix, debug)).returncode
            server(prefix, "-w")  # a session end ends the prefix's programs
            return status
    except (RuntimeError, OSError, subprocess.TimeoutExpired) as error:
        print("error: %s" % error, file=sys.stderr)
        return 1
    print(__doc__.split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
