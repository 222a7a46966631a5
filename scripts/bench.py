#!/usr/bin/env python3
"""The measurements behind scripts/bench.sh, which builds what they need.
Each figure is haltctl's against its floor, the one-line printf program
(bench/printf_floor.cpp) built with the same toolchain and flags, measured in
the same run; only the ratios mean anything on a shared machine.

    bench.py RUNS ARCH...          (the architectures to time under Wine)
    bench.py --times ARCH RUNS     (one architecture's Wine times, as JSON)

Each architecture is timed in a Wine sandbox of its own (the project's Wine
environment); one that runs through QEMU here pays QEMU's cost for haltctl
and its floor alike.
"""
import json
import os
import re
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
sys.path.insert(0, os.path.join(ROOT, "scripts", "environment"))
import wine


def wine_times(arch, runs):
    """Wall times of `wine haltctl.exe -?` and `wine printf_floor.exe`, run
    in turn so that both meet the same machine, which goes first swapping
    every round (the first of a pair pays for what the previous run left
    behind), with one server and the prefix's services kept running (the
    sandbox ends them)."""
    if os.environ.get(wine.SANDBOX) != arch:
        command = wine.sandbox_command(arch, [sys.executable, os.path.abspath(__file__),
                                              "--times", arch, str(runs)])
        timed = subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True)
        return json.loads(timed.stdout.splitlines()[-1])
    wine.enter_sandbox(arch)
    prefix = os.path.join(BUILD, "wine-" + arch)
    wine.keep_prefix(prefix)
    loader = wine.commands(arch)["loader"]
    env = wine.env(prefix)
    folder = os.path.join(BUILD, "windows-" + arch)
    programs = [("haltctl", [os.path.join(folder, "haltctl.exe"), "-?"]),
                ("floor", [os.path.join(folder, "printf_floor.exe")])]
    wine.start_server(prefix)
    subprocess.run(loader + ["cmd", "/c", "exit"], env=env, check=True)
    time.sleep(1)  # let the services settle
    times = {name: [] for name, _ in programs}
    for round_ in range(runs + 2):  # two rounds to warm the caches
        for name, command in programs[round_ % 2:] + programs[:round_ % 2]:
            started = time.perf_counter()
            subprocess.run(loader + command, env=env, check=True, stdout=subprocess.DEVNULL)
            if round_ >= 2:
                times[name].append(time.perf_counter() - started)
    return times


def instructions(command):
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
                         + command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(re.search(r"Collected : (\d+)", run.stderr).group(1))


def main():
    if sys.argv[1] == "--times":
        print(json.dumps(wine_times(sys.argv[2], int(sys.argv[3]))))
        return 0
    runs = int(sys.argv[1])
    rows = []  # (what, haltctl, floor, format)
    for arch in ("x64", "x86", "arm64"):
        folder = os.path.join(BUILD, "windows-" + arch)
        rows.append(("size %s, bytes" % arch, os.path.getsize(os.path.join(folder, "haltctl.exe")),
                     os.path.getsize(os.path.join(folder, "printf_floor.exe")), "%d"))
    for arch in sys.argv[2:]:
        times = wine_times(arch, runs)
        for name, pick in (("median", statistics.median), ("minimum", min)):
            rows.append(("Wine %s -?, %s of %d, s" % (arch, name, runs), pick(times["haltctl"]),
                         pick(times["floor"]), "%.3f"))
    host = os.path.join(BUILD, "host")
    floor = instructions([os.path.join(host, "printf_floor")])
    for arg in ("-?", "-l"):
        rows.append(("host %s, instructions" % arg,
                     instructions([os.path.join(host, "haltctl"), arg]), floor, "%d"))

    print("%-30s %12s %12s %7s" % ("", "haltctl", "floor", "ratio"))
    for what, mine, base, form in rows:
        print("%-30s %12s %12s %7.2f" % (what, form % mine, form % base, mine / base))
    return 0


if __name__ == "__main__":
    sys.exit(main())
