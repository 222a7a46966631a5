"""Folders the project's tools make whole and own whole: the release's output
folder and the linters' build/npm. A folder is the tools' own while it holds
nothing but what the record written in it lists (every file and folder made
there, links never); anything else stops the tool before it changes a thing.
A new folder is made beside the old one, under a lock on the folder that
holds both, and put in its place by renames: the old one aside, the new one
in, the old one removed last. A failed rename puts the old one back; SIGINT,
SIGTERM and SIGHUP wait until both renames are done. What a killed run left
beside the folder, the next run removes or puts back, and says so.

release.py imports it; scripts/environment/setup.sh calls it:

    owned_folder.py make FOLDER RECORD STAMP WHAT -- COMMAND...

makes FOLDER by running COMMAND in a new folder beside it, unless FOLDER's
record RECORD already names STAMP (what it was made from); WHAT names the
contents in messages. Waits for another run that holds the lock.
"""
import errno
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

# The names a run gives its folders beside FOLDER: the new one being made,
# and the old one moved aside while the new one goes in.
NEW, OLD = ".%s.haltctl-new-", ".%s.haltctl-old-"
HELD = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


class Interrupted(BaseException):
    """SIGINT, SIGTERM or SIGHUP: unwinds through the clean-up like Ctrl-C."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def raise_interrupted(signum, _):
    raise Interrupted(signum)


def unwind_on_signals():
    for signum in HELD:
        signal.signal(signum, raise_interrupted)


class Refused(Exception):
    """The folder is not the tools' own, or another run holds it."""


def entry_kind(path):
    if os.path.islink(path):
        return "link"
    return "dir" if os.path.isdir(path) else "file" if os.path.isfile(path) else "other"


def entries(folder):
    """Every entry below folder as (kind, path relative to it), links
    included and not followed."""
    found = []
    for parent, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(parent, name)
            found.append((entry_kind(path), os.path.relpath(path, folder)))
    return sorted(found, key=lambda entry: entry[1])


def read_record(folder, record):
    """(the entries the record lists, the stamp it names), or (an empty
    set, None) where folder holds no record."""
    path = os.path.join(folder, record)
    if entry_kind(path) != "file":
        return set(), None
    with open(path, errors="replace") as f:
        lines = [line.rstrip("\n") for line in f]
    stamp = next((line[len("# made from: "):] for line in lines
                  if line.startswith("# made from: ")), None)
    listed = {tuple(line.split(" ", 1)) for line in lines if re.fullmatch(r"(file|dir) .+", line)}
    return listed, stamp


def write_record(folder, record, stamp=None):
    listed = entries(folder)
    with open(os.path.join(folder, record + ".part"), "w", newline="\n") as f:
        f.write("# Made by haltctl's tools: every entry they made here. They replace this\n"
                "# folder only while it holds nothing else.\n")
        if stamp is not None:
            f.write("# made from: %s\n" % stamp)
        f.writelines("%s %s\n" % entry for entry in listed)
    os.rename(os.path.join(folder, record + ".part"), os.path.join(folder, record))


def foreign_entries(folder, record):
    """What folder holds that the tools did not make there, by their record:
    anything unlisted, or listed as another kind (a link where they made a
    file, say). An empty list where they may replace folder: it does not
    exist, is empty, or is wholly theirs."""
    if not os.path.lexists(folder):
        return []
    if entry_kind(folder) != "dir":
        return ["%s itself (a %s, not a folder)" % (folder, entry_kind(folder))]
    recorded = read_record(folder, record)[0] | {("file", record)}
    return [path + ("/" if kind == "dir" else "") for kind, path in entries(folder)
            if (kind, path) not in recorded]


def lock_beside(folder, wait_message=None):
    """Locks the folder that holds folder, for the rest of the process: the
    run's own folders live there too. With wait_message, says it and waits
    for another run; without, refuses at once."""
    parent = os.path.dirname(folder)
    os.makedirs(parent, exist_ok=True)
    descriptor = os.open(parent, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        if wait_message is None:
            os.close(descriptor)
            raise Refused("another run is writing %s or beside it: wait for it to end" % folder)
        print(wait_message, file=sys.stderr, flush=True)
        fcntl.flock(descriptor, fcntl.LOCK_EX)
    return descriptor


def recover(folder, say):
    """Under the lock: finishes what an interrupted run left beside folder.
    A folder half made is removed; an old one moved aside goes back when
    the new one never came in, and is removed when it did."""
    parent, name = os.path.split(folder)
    for pattern in (NEW, OLD):
        prefix = pattern % name
        for left in sorted(n for n in os.listdir(parent) if n.startswith(prefix)):
            path = os.path.join(parent, left)
            if entry_kind(path) != "dir":
                continue
            if pattern == OLD and not os.path.lexists(folder):
                os.rename(path, folder)
                say("put back %s, which an interrupted run had moved aside" % folder)
            else:
                shutil.rmtree(path)
                say("removed %s, left by an interrupted run" % path)


def make_beside(folder):
    """A new folder of this run's own beside folder, in one file system."""
    new = tempfile.mkdtemp(prefix=NEW % os.path.basename(folder), dir=os.path.dirname(folder))
    os.chmod(new, 0o755)
    return new


def publish(new, folder):
    """Puts new in the place of folder by renames, the old one aside and
    removed last. Signals wait until both renames are done, so the old
    folder is either in place or back; a failed rename puts it back.
    Raises OSError, with both errors where putting it back failed too."""
    parent, name = os.path.split(folder)
    aside = None
    signal.pthread_sigmask(signal.SIG_BLOCK, HELD)
    try:
        if os.path.lexists(folder):
            aside = tempfile.mkdtemp(prefix=OLD % name, dir=parent)
            os.rename(folder, aside)
        try:
            os.rename(new, folder)
        except OSError as error:
            try:
                if aside:
                    os.rename(aside, folder)
            except OSError as undo:
                raise OSError(errno.EIO, "cannot rename %s to %s (%s), nor put the old one back "
                              "(%s): it is in %s, and the next run puts it back"
                              % (new, folder, error, undo, aside))
            raise OSError(error.errno, "cannot rename %s to %s: %s" % (new, folder, error))
        # In place: a signal now can only cut the clean-up short, which the
        # next run finishes.
        for signum in HELD:
            signal.signal(signum, signal.SIG_IGN)
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, HELD)
    if aside:
        shutil.rmtree(aside)


def make(folder, record, stamp, what, command):
    """The command line's make: see the module's text."""
    def say(text):
        print("setup: %s" % text, file=sys.stderr, flush=True)

    unwind_on_signals()
    if read_record(folder, record)[1] == stamp and not any(
            n.startswith((NEW % os.path.basename(folder), OLD % os.path.basename(folder)))
            for n in os.listdir(os.path.dirname(folder))):
        return 0
    lock = lock_beside(folder, "setup: waiting for another run that is making %s" % folder)
    new = None
    try:
        recover(folder, say)
        if read_record(folder, record)[1] == stamp:
            return 0
        foreign = foreign_entries(folder, record)
        if foreign:
            say("error: %s is not a folder of %s that these scripts made (it holds %s): move "
                "it away, then run this again" % (folder, what, ", ".join(foreign[:3])))
            return 1
        new = make_beside(folder)
        say("installing %s into %s" % (what, folder))
        if subprocess.run(command, cwd=new, stdout=sys.stderr).returncode != 0:
            say("error: could not install %s (the message is above)" % what)
            return 1
        write_record(new, record, stamp)
        publish(new, folder)
        new = None
        return 0
    except Interrupted as interruption:
        say("stopped by %s; %s was not changed" % (interruption, folder))
        return 128 + interruption.signum
    except OSError as error:
        say("error: %s" % error)
        return 1
    finally:
        if new:
            shutil.rmtree(new, ignore_errors=True)
        os.close(lock)


def main(argv):
    if len(argv) < 8 or argv[1] != "make" or argv[6] != "--":
        print(__doc__.split("\n\n")[2], file=sys.stderr)
        return 2
    return make(os.path.abspath(argv[2]), argv[3], argv[4], argv[5], argv[7:])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
