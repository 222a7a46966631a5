#!/usr/bin/env python3
"""Runs a libFuzzer target for a bounded time with its progress in a log
file, and prints one summary line: executions, time, corpus, findings. On a
finding, or any failure, the end of the log is printed too.

    run_fuzzer.py FUZZER LOG ARTIFACT_DIR SECONDS WORK_CORPUS [SEED_CORPUS...]
"""
import glob
import os
import re
import subprocess
import sys
import time


def text_files(corpora):
    """The corpus inputs that git would treat as text, changing their line
    ends on a checkout or a commit: a corpus is bytes, kept exact."""
    found = []
    for corpus in corpora:
        names = sorted(os.listdir(corpus))
        check = subprocess.run(["git", "-C", corpus, "check-attr", "text", "--"] + names,
                               capture_output=True, text=True)
        if check.returncode == 0:  # else not in a git checkout: nothing to ask
            found += [line.split(":")[0] for line in check.stdout.splitlines()
                      if not line.endswith(": text: unset")]
    return found


def main():
    fuzzer, log, artifacts, seconds, corpus = sys.argv[1:6]
    seeds = sys.argv[6:]
    as_text = text_files(seeds)
    if as_text:
        print("FAIL: git treats these corpus inputs as text: %s" % " ".join(as_text))
        return 1
    os.makedirs(corpus, exist_ok=True)
    os.makedirs(artifacts, exist_ok=True)
    before = len(os.listdir(corpus))
    started = time.monotonic()
    with open(log, "wb") as out:
        status = subprocess.run(
            [fuzzer, "-max_total_time=%s" % seconds, "-timeout=10", "-print_final_stats=1",
             "-artifact_prefix=%s/" % artifacts, corpus] + seeds,
            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT).returncode
    elapsed = time.monotonic() - started
    text = open(log, "rb").read().decode("latin-1")
    runs = re.search(r"stat::number_of_executed_units: (\d+)", text)
    findings = [f for f in glob.glob(os.path.join(artifacts, "*-*"))
                if os.path.basename(f).split("-")[0] in ("crash", "leak", "timeout", "oom")
                and os.path.getmtime(f) >= time.time() - elapsed - 1]
    after = len(os.listdir(corpus))
    print("fuzz: %s executions in %.0f s, corpus %d inputs (%+d), %s; progress in %s"
          % ("{:,}".format(int(runs.group(1))) if runs else "?", elapsed, after, after - before,
             "findings: " + " ".join(findings) if findings else "no finding", log))
    if status != 0 or findings:
        print("fuzzer exited with status %d; the end of its log:" % status)
        print("\n".join(text.splitlines()[-60:]))
        return status or 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
