#!/usr/bin/env python3
"""The measurements behind scripts/bench.sh, which builds what they need.
Each figure is haltctl's against its floor, the one-line printf program
(bench/printf_floor.cpp) built with the same toolchain and flags, measured in
the same run; only the ratios mean anything on a shared machine.

    bench.py RUNS ARCH=LOADER...   (the architectures Wine can run here, each with
                                    the Wine loader scripts/wineprefix.sh chose)
"""
import os
import re
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")


def wine_env(arch, wine):
    env = dict(os.environ, WINEPREFIX=os.path.join(BUILD, "wine-" + arch), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", WINELOADER=wine)
    env.pop("DISPLAY", None)
    return env


def wine_times(arch, wine, runs):
    """Wall times of `wine haltctl.exe -?` and `wine printf_floor.exe`, run
    in turn so that both meet the same machine, which goes first swapping
    every round (the first of a pair pays for what the previous run left
    behind), with one server and the prefix's services kept running (the
    server ends on its own 60 s after the last run)."""
    env = wine_env(arch, wine)
    folder = os.path.join(BUILD, "windows-" + arch)
    programs = [("haltctl", [os.path.join(folder, "haltctl.exe"), "-?"]),
                ("floor", [os.path.join(folder, "printf_floor.exe")])]
    subprocess.run(["wineserver", "-p60"], env=env, check=True)
    subprocess.run([wine, "cmd", "/c", "exit"], env=env, check=True)
    time.sleep(1)  # let the services settle
    times = {name: [] for name, _ in programs}
    for round_ in range(runs + 2):  # two rounds to warm the caches
        for name, command in programs[round_ % 2:] + programs[:round_ % 2]:
            started = time.perf_counter()
            subprocess.run([wine] + command, env=env, check=True, stdout=subprocess.DEVNULL)
            if round_ >= 2:
                times[name].append(time.perf_counter() - started)
    subprocess.run(["wineserver", "-k"], env=env)
    return times


def instructions(command):
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
                         + command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(re.search(r"Collected : (\d+)", run.stderr).group(1))


def main():
    runs = int(sys.argv[1])
    loaders = [a.split("=", 1) for a in sys.argv[2:]]
    rows = []  # (what, haltctl, floor, format)
    for arch in ("x64", "x86"):
        folder = os.path.join(BUILD, "windows-" + arch)
        rows.append(("size %s, bytes" % arch, os.path.getsize(os.path.join(folder, "haltctl.exe")),
                     os.path.getsize(os.path.join(folder, "printf_floor.exe")), "%d"))
    for arch, wine in loaders:
        times = wine_times(arch, wine, runs)
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
