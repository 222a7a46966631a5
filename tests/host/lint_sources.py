#!/usr/bin/env python3
"""Lints every tracked source file with Debian's linters, configured in the
files they read at the top of the tree: shellcheck (.shellcheckrc) over the
bash scripts, flake8 (.flake8) over the Python, clang-format
(.clang-format) over the C and C++. Bash lines stay within Google's 80
columns, and every path of the tree's that a file names exists. Any
finding fails the run.

First each linter must find the fault planted in a file of its kind (so a
linter that checks nothing, or a configuration that excludes everything,
fails too).

    lint_sources.py SOURCE

Exit status 77 means a linter is missing (a skip), a failure with CI=true.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

LINTERS = ("shellcheck", "flake8", "clang-format")  # Debian packages of those names
# A path of the tree's, as comments and docs name them: from a top-level
# folder, not part of a longer path or a variable's.
TREE_PATH = re.compile(r"(?<![\w./$}-])((?:cli|session|platform|tests|cmake|scripts|packaging|"
                       r"docs|bench|\.github)/[\w.*/-]*[\w*])")
# name | content | the lint that must flag it
PLANTED = [
    ("planted.sh", "#!/bin/bash\nunused=1\necho $1\n", "shellcheck"),
    ("planted.py", "import os\n", "flake8"),
    ("planted.cpp", "int  Main() { return 0; }\n", "clang-format"),
    ("long.sh", "#!/bin/bash\necho %s\n" % ("x" * 80), "bash columns"),
    ("named.py", "# See %s.\n" % "/".join(["scripts", "nowhere.py"]), "paths"),
]


def tracked(source, *patterns):
    listed = subprocess.run(["git", "-C", source, "ls-files", "-z", "--"] + list(patterns),
                            capture_output=True, text=True, check=True).stdout
    return [name for name in listed.split("\0") if name]


def bash_files(source):
    """The *.sh files and the scripts whose first line runs bash."""
    found = []
    for name in tracked(source):
        try:
            with open(os.path.join(source, name), "rb") as f:
                first = f.readline()
        except OSError:
            continue
        if name.endswith(".sh") or (first.startswith(b"#!") and b"bash" in first):
            found.append(name)
    return found


def run(command, source):
    done = subprocess.run(command, cwd=source, capture_output=True, text=True)
    return (done.stdout + done.stderr).strip() or (
        "status %d" % done.returncode if done.returncode else "")


def long_lines(source, names):
    """Lines over 80 columns, but for here-documents' (data for another
    program, which the style allows)."""
    found = []
    for name in names:
        ending = None  # the word that ends the here-document being read
        for number, line in enumerate(open(os.path.join(source, name), encoding="utf-8"), 1):
            line = line.rstrip("\n")
            if ending is not None:
                ending = None if line.strip() == ending else ending
                continue
            if len(line) > 80:
                found.append("%s:%d: %d columns" % (name, number, len(line)))
            here = re.search(r"<<-?\s*['\"]?(\w+)", line)
            ending = here.group(1) if here else None
    return "\n".join(found)


def missing_paths(source, names):
    found = []
    for name in names:
        try:
            text = open(os.path.join(source, name), encoding="utf-8").read()
        except (UnicodeDecodeError, IsADirectoryError):
            continue  # not text
        for number, line in enumerate(text.splitlines(), 1):
            for match in TREE_PATH.finditer(line):
                path = os.path.join(source, match.group(1).rstrip("."))
                if line[match.end():match.end() + 1] != "<" and not glob.glob(path):
                    found.append("%s:%d: %s does not exist" % (name, number, match.group(1)))
    return "\n".join(found)


def lint(source, shell, python, native, texts):
    """What each lint found in the files named, by lint."""
    return {
        "shellcheck": shell and run(["shellcheck", "--format=gcc"] + shell, source),
        "flake8": python and run(["flake8"] + python, source),
        "clang-format": native and run(["clang-format", "--dry-run", "-Werror"] + native,
                                       source),
        "bash columns": long_lines(source, shell),
        "paths": missing_paths(source, texts),
    }


def main():
    source = os.path.abspath(sys.argv[1])
    missing = [tool for tool in LINTERS if shutil.which(tool) is None]
    if missing:
        print("lint: %s not installed (scripts/test.sh installs it)" % " ".join(missing))
        return 1 if os.environ.get("CI") == "true" else 77
    failed = 0
    # The planted files, in a copy of the linters' configuration.
    with tempfile.TemporaryDirectory() as planted:
        for config in (".shellcheckrc", ".flake8", ".clang-format"):
            shutil.copy(os.path.join(source, config), planted)
        for name, content, _ in PLANTED:
            with open(os.path.join(planted, name), "w") as f:
                f.write(content)
        names = [name for name, _, _ in PLANTED]
        found = lint(planted, [n for n in names if n.endswith(".sh")],
                     [n for n in names if n.endswith(".py")],
                     [n for n in names if n.endswith(".cpp")], names)
        for name, _, linter in PLANTED:
            if name not in found[linter]:
                print("FAIL %s finds nothing in %s, which is planted for it" % (linter, name))
                failed = 1
    found = lint(source, bash_files(source), tracked(source, "*.py"),
                 tracked(source, "*.cpp", "*.h", "*.c"),
                 [n for n in tracked(source) if not n.startswith("tests/fuzz/corpus/")])
    for linter, findings in found.items():
        print("%-4s %s" % ("FAIL" if findings else "ok", linter))
        if findings:
            print("\n".join("       | " + line for line in findings.splitlines()))
            failed = 1
    return failed


if __name__ == "__main__":
    sys.exit(main())
