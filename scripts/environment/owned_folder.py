"""Output folders of the tools, filled so that nothing of anyone else's is
lost: made in a new folder beside the target, under a lock on their parent,
then put in place by one rename where the target is new, else entry by
entry by renames that never overwrite. A folder named on the command line
must be new or empty. Only a folder of the tools' own may hold an earlier
make, and only what its record lists, which is removed first. Signals wait
while the folder changes, and otherwise stop the run, which removes what it
made; what a killed run left beside it, the next run removes. setup.sh calls

    owned_folder.py make FOLDER RECORD STAMP WHAT -- COMMAND...

to make FOLDER by running COMMAND in a new folder beside it, unless its
record RECORD names STAMP (what it was made from); WHAT names the contents.
COMMAND runs in a process group of its own under `owned_folder.py guard`,
which kills that group when the run ends, even by SIGKILL.
"""
import contextlib
import ctypes
import errno
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import tempfile

NEW = ".%s.haltctl-new-"  # the folder a run makes beside the target
SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
AT_FDCWD, RENAME_NOREPLACE = -100, 1
PR_SET_PDEATHSIG = 1
LIBC = ctypes.CDLL(None, use_errno=True)


class Interrupted(BaseException):
    """SIGINT, SIGTERM or SIGHUP, which unwind like Ctrl-C."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class Refused(Exception):
    """Nothing was changed: the text says why."""


class Partial(Exception):
    """Publishing failed half-way: the text says what is where."""


def unwind_on_signals():
    def interrupt(signum, _):
        raise Interrupted(signum)
    for signum in SIGNALS:
        signal.signal(signum, interrupt)


def rename_new(source, target):
    """Renames source to target, which must not exist: in one step."""
    if LIBC.renameat2(AT_FDCWD, os.fsencode(source), AT_FDCWD,
                      os.fsencode(target), RENAME_NOREPLACE) != 0:
        number = ctypes.get_errno()
        raise OSError(number, os.strerror(number), target)


def entry_kind(path):
    return ("link" if os.path.islink(path) else
            "dir" if os.path.isdir(path) else "file")


def entries(folder):
    """Every entry below folder as (kind, relative path), sorted."""
    return sorted(((entry_kind(os.path.join(top, name)),
                    os.path.relpath(os.path.join(top, name), folder))
                   for top, dirs, files in os.walk(folder)
                   for name in dirs + files), key=lambda entry: entry[1])


def read_record(folder, record):
    """(the entries folder's record lists, itself too; its stamp)."""
    path = os.path.join(folder, record)
    if os.path.islink(path) or not os.path.isfile(path):
        return set(), None
    with open(path, errors="replace") as f:
        lines = f.read().splitlines()
    stamps = [line[13:] for line in lines if line.startswith("# made from: ")]
    listed = {tuple(line.split(" ", 1)) for line in lines
              if line.startswith(("file ", "dir ", "link "))}
    return listed | {("file", record)}, (stamps + [None])[0]


def write_record(folder, record, stamp=None):
    with open(os.path.join(folder, record), "w", newline="\n") as f:
        f.write("# Made by haltctl's tools: every entry they made here.\n")
        if stamp is not None:
            f.write("# made from: %s\n" % stamp)
        f.writelines("%s %s\n" % entry for entry in entries(folder))


def check(folder, record, owned):
    """Refuses, naming it, a folder the run may not fill: a link, a mount
    point, one it or its parent cannot write, one named on the command line
    that is not empty, one of the tools' own holding what it did not list."""
    parent = os.path.dirname(folder)
    while not os.path.isdir(parent):
        parent = os.path.dirname(parent)
    if entry_kind(folder) != "dir" and os.path.lexists(folder):
        raise Refused("%s is a %s, not a folder" % (folder, entry_kind(folder)))
    if os.path.ismount(folder):
        raise Refused("%s is a mount point, which nothing can be renamed "
                      "into: give a folder inside it" % folder)
    if not os.access(parent, os.W_OK | os.X_OK):
        raise Refused("%s, which would hold %s, is read-only: give a "
                      "folder you can write" % (parent, folder))
    found = entries(folder)
    listed = read_record(folder, record)[0]
    if found and not owned:
        raise Refused("%s holds %s; a folder named on the command line must "
                      "be new or empty, and is never replaced: remove it, or "
                      "name another" % (folder, "an earlier release" if listed
                                        else ", ".join(p for _, p in found[:3])))
    foreign = [p + "/" * (k == "dir") for k, p in found if (k, p) not in listed]
    if foreign:
        raise Refused("%s holds what no run of these tools made there: %s: "
                      "move that away, then run this again"
                      % (folder, ", ".join(foreign[:5])))
    for path in [folder] + [os.path.join(folder, p) for k, p in listed
                            if k == "dir"]:
        if os.path.isdir(path) and not os.access(path, os.W_OK | os.X_OK):
            raise Refused("%s is read-only: make it writable, or give "
                          "another folder" % path)


def lock_beside(folder, wait_message=None):
    """Locks the folder that holds folder: with wait_message, says it and
    waits for another run; else refuses."""
    os.makedirs(os.path.dirname(folder), exist_ok=True)
    descriptor = os.open(os.path.dirname(folder), os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        if wait_message is None:
            os.close(descriptor)
            raise Refused("another run is writing %s or beside it: wait for "
                          "it to end" % folder)
        print(wait_message, file=sys.stderr, flush=True)
        fcntl.flock(descriptor, fcntl.LOCK_EX)
    return descriptor


def make_beside(folder, say):
    """Under the lock: a new folder of this run's own beside folder, once
    what a killed run was making there is removed."""
    parent, name = os.path.split(folder)
    for left in sorted(os.listdir(parent)):
        if left.startswith(NEW % name):
            shutil.rmtree(os.path.join(parent, left))
            say("removed %s, left by an interrupted run"
                % os.path.join(parent, left))
    new = tempfile.mkdtemp(prefix=NEW % name, dir=parent)
    os.chmod(new, 0o755)
    return new


def remove_listed(folder, record):
    """Removes what folder's record lists, entry by entry, the record last;
    a folder that holds more stays."""
    listed = read_record(folder, record)[0] - {("file", record)}
    for kind, path in sorted(listed, key=lambda e: e[1], reverse=True) + [
            ("file", record)]:
        full = os.path.join(folder, path)
        if os.path.lexists(full) and entry_kind(full) == kind:
            try:
                os.rmdir(full) if kind == "dir" else os.unlink(full)
            except OSError as error:
                if error.errno != errno.ENOTEMPTY:
                    raise


def move_entries(source, target, first):
    """Moves source's entries into target, first first, none over
    anything (a folder into one of its name that stayed)."""
    for name in sorted(os.listdir(source), key=lambda n: (n != first, n)):
        inside, there = os.path.join(source, name), os.path.join(target, name)
        if entry_kind(inside) == "dir" and entry_kind(there) == "dir":
            move_entries(inside, there, None)
            os.rmdir(inside)
        else:
            rename_new(inside, there)


def publish(new, folder, record, owned):
    """Puts new, made beside folder, into it; returns what else folder
    holds (saved there meanwhile). Signals are held, then ignored."""
    signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)
    try:
        if entry_kind(folder) != "dir" and os.path.lexists(folder):
            raise Refused("%s became a link or a file during the run" % folder)
        try:
            rename_new(new, folder)
        except OSError as error:
            if error.errno not in (errno.EEXIST, errno.ENOTEMPTY):
                raise Refused("cannot rename %s to %s: %s"
                              % (new, folder, error.strerror))
            try:
                if owned:
                    remove_listed(folder, record)
                move_entries(new, folder, record)
            except OSError as error:
                raise Partial("%s is half changed: %s: %s. What is in it of "
                              "this run's is listed in its %s" % (
                                  folder, error.filename, error.strerror,
                                  record))
        for signum in SIGNALS:
            signal.signal(signum, signal.SIG_IGN)
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, SIGNALS)
    listed = read_record(folder, record)[0]
    return [path for kind, path in entries(folder) if (kind, path) not in listed]


def make(folder, record, stamp, what, command):
    """The command line's make: see the module's text."""
    def say(text):
        print("setup: %s" % text, file=sys.stderr, flush=True)

    unwind_on_signals()
    lock = lock_beside(folder, "setup: waiting for another run that is "
                       "making %s" % folder)
    new = child = None
    try:
        listed, made_from = read_record(folder, record)
        if made_from == stamp and all(  # else a killed run moved it in half
                os.path.lexists(os.path.join(folder, p)) for _, p in listed):
            return 0
        check(folder, record, True)
        new = make_beside(folder, say)
        say("installing %s into %s" % (what, folder))
        # In a process group of its own, so that an interruption stops it
        # whole before its folder is removed.
        child = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "guard",
             str(os.getpid())] + command,
            cwd=new, stdout=sys.stderr, start_new_session=True)
        if child.wait() != 0:
            say("error: could not install %s (the message is above)" % what)
            return 1
        child = None
        write_record(new, record, stamp)
        for path in publish(new, folder, record, True):
            say("kept %s, which is not of this install" % path)
        return 0
    except Interrupted as interruption:
        if child:  # its whole process group, whatever it started
            with contextlib.suppress(ProcessLookupError):
                os.killpg(child.pid, signal.SIGKILL)
            child.wait()
        say("stopped by %s; %s was not changed" % (interruption, folder))
        return 128 + interruption.signum
    except (OSError, Refused, Partial) as error:
        say("error: %s" % error)
        return 1
    finally:
        if new and os.path.lexists(new):
            shutil.rmtree(new, ignore_errors=True)
        os.close(lock)


def guard(parent, command):
    """Leads the process group that runs command and kills all of it when
    parent ends first, however it ends: the kernel sends the signal."""
    def kill_group(*_):
        os.killpg(0, signal.SIGKILL)
    for signum in SIGNALS:
        signal.signal(signum, kill_group)
    LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    if os.getppid() != parent:  # it ended before the signal was asked for
        kill_group()
    return subprocess.call(command)


def main(argv):
    if len(argv) > 3 and argv[1] == "guard":
        return guard(int(argv[2]), argv[3:])
    if len(argv) < 8 or argv[1] != "make" or argv[6] != "--":
        print("\n\n".join(__doc__.split("\n\n")[1:]), file=sys.stderr)
        return 2
    return make(os.path.abspath(argv[2]), argv[3], argv[4], argv[5], argv[7:])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
