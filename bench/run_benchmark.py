#!/usr/bin/env python3
"""Times zembra against the copy floor (cp) and a general tool (sort).

On one machine in one run, alternating, on fresh copies of the same log:
zembra with backup, zembra -B, cp, and LC_ALL=C sort -o. Reports the median
wall time of each, zembra's ratio to cp, zembra's peak resident memory, and
how the time grows with the log's size.

    bench/run_benchmark.py [--zembra build/default/zembra] [--runs 10]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOGMAKER = os.path.join(ROOT, "scripts", "logmaker.py")

# name, service switch, logmaker arguments
LOGS = [
    ("pcvan-8mb", "-P", ["pcvan", "--messages", "3000", "--downloads", "4", "--body-lines", "40"]),
    ("nifty-8mb", "-N", ["nifty", "--messages", "3000", "--downloads", "4", "--body-lines", "40"]),
    ("nifty-long-lines", "-N", ["nifty", "--messages", "3000", "--downloads", "4",
                                "--body-lines", "16", "--long-percent", "20"]),
    ("pcvan-all-repeat", "-P", ["pcvan", "--messages", "1000", "--downloads", "3",
                                "--body-lines", "40", "--repeat-all"]),
]
# Body lines per message giving logs of about 1, 2, 4 and 8 MB.
SIZES = [("1mb", "5"), ("2mb", "10"), ("4mb", "20"), ("8mb", "40")]


def make_log(path, args, seed=7):
    subprocess.run([sys.executable, LOGMAKER, args[0], path] + args[1:] + ["--seed", str(seed)],
                   check=True)


def timed(command, cwd, env=None):
    start = time.perf_counter()
    subprocess.run(command, cwd=cwd, env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def peak_rss_kib(command, cwd):
    result = subprocess.run(["/usr/bin/time", "-v"] + command, cwd=cwd, check=True,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for line in result.stderr.splitlines():
        if "Maximum resident set size" in line:
            return int(line.split(":")[1])
    return -1


def fresh(work, source, name):
    path = os.path.join(work, name)
    for leftover in os.listdir(work):
        if leftover != "source.log":
            os.remove(os.path.join(work, leftover))
    shutil.copyfile(source, path)
    return path


def bench_log(zembra, switch, source, runs, work):
    times = {"zembra": [], "zembra -B": [], "cp": [], "sort": []}
    env = dict(os.environ, LC_ALL="C")
    for _ in range(runs):
        fresh(work, source, "forum.log")
        times["zembra"].append(timed([zembra, switch, "forum.log"], work))
        fresh(work, source, "forum.log")
        times["zembra -B"].append(timed([zembra, switch + "B", "forum.log"], work))
        fresh(work, source, "forum.log")
        times["cp"].append(timed(["cp", "forum.log", "copy.log"], work))
        fresh(work, source, "forum.log")
        times["sort"].append(timed(["sort", "-o", "sorted.log", "forum.log"], work, env))
    fresh(work, source, "forum.log")
    rss = peak_rss_kib([zembra, switch, "forum.log"], work)
    return {k: statistics.median(v) for k, v in times.items()}, rss


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zembra", default=os.path.join(ROOT, "build", "default", "zembra"))
    parser.add_argument("--runs", type=int, default=10)
    args = parser.parse_args()
    zembra = os.path.abspath(args.zembra)
    with tempfile.TemporaryDirectory(prefix="zembra-bench-") as work:
        source = os.path.join(work, "source.log")
        print("%-18s %8s %9s %9s %9s %9s %7s %9s" % (
            "log", "MB", "zembra", "zembra-B", "cp", "sort", "z/cp", "peak KiB"))
        rows = [(name, switch, make_args) for name, switch, make_args in LOGS]
        rows += [("pcvan-" + size, "-P", ["pcvan", "--messages", "3000", "--downloads", "4",
                                          "--body-lines", lines]) for size, lines in SIZES]
        for name, switch, make_args in rows:
            make_log(source, make_args)
            megabytes = os.path.getsize(source) / 1e6
            medians, rss = bench_log(zembra, switch, source, args.runs, work)
            print("%-18s %8.2f %8.1fms %8.1fms %8.1fms %8.1fms %7.2f %9d" % (
                name, megabytes, medians["zembra"] * 1e3, medians["zembra -B"] * 1e3,
                medians["cp"] * 1e3, medians["sort"] * 1e3,
                medians["zembra"] / medians["cp"], rss))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
