#!/usr/bin/env python3
"""Times zembra against the copy floor (cp) and a general tool (sort).

On one machine in one run, alternating, on fresh copies of the same log (the
page cache warm): zembra with backup, zembra -B, cp, and LC_ALL=C sort -o.
Reports the median wall time of each, zembra's ratio to cp and to sort,
zembra's peak resident memory, and how the time grows with the log's size.

Every log holds close to 3000 message headers, the index's limit (a log of
more is refused, which would time nothing but the indexer), from overlapping
downloads of 1000 messages.

    bench/run_benchmark.py [--zembra PATH] [--runs 10] [--only NAME]

Without --zembra it uses build/default/zembra, configuring and building the
default preset first when that binary is missing.
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


def log_args(service, body_lines, downloads="4", extra=()):
    return [service, "--messages", "1000", "--downloads", downloads,
            "--body-lines", str(body_lines)] + list(extra)


# name, switches, logmaker arguments. Bodies average 2.6 KB, so 3000 headers
# make about 8 MB.
LOGS = [
    ("pcvan-8mb", "-P", log_args("pcvan", 110)),
    ("pcvan-8mb-nocheck", "-P!", log_args("pcvan", 110)),
    ("nifty-8mb", "-N", log_args("nifty", 114)),
    ("nifty-long-lines", "-N", log_args("nifty", 60, extra=["--long-percent", "10"])),
    ("pcvan-all-repeat", "-P", log_args("pcvan", 110, "3", ["--repeat-all"])),
    ("nifty-all-repeat", "-N", log_args("nifty", 110, "3", ["--repeat-all"])),
]
# Body lines per message giving NIFTY SERVE logs of about 1, 2, 4 and 8 MB.
SIZES = [("1mb", 13), ("2mb", 26), ("4mb", 56), ("8mb", 114)]


def make_log(path, args, seed=7):
    subprocess.run([sys.executable, LOGMAKER, args[0], path] + args[1:] + ["--seed", str(seed)],
                   check=True)


def find_zembra(path):
    if path:
        return os.path.abspath(path)
    zembra = os.path.join(ROOT, "build", "default", "zembra")
    if not os.path.exists(zembra):
        subprocess.run(["cmake", "--preset", "default"], cwd=ROOT, check=True)
        subprocess.run(["cmake", "--build", "--preset", "default", "--target", "zembra"],
                       cwd=ROOT, check=True)
    return zembra


def timed(command, cwd, env=None, cpu=None):
    """Wall time; the child's user + system time is appended to `cpu`."""
    start = time.perf_counter()
    child = subprocess.Popen(command, cwd=cwd, env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise subprocess.CalledProcessError(child.returncode, command)
    if cpu is not None:
        cpu.append(usage.ru_utime + usage.ru_stime)
    return elapsed


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


def check_log_is_sorted(zembra, switch, source, work):
    """A log that zembra refuses (too many headers) would time nothing."""
    fresh(work, source, "forum.log")
    result = subprocess.run([zembra, switch, "forum.log"], cwd=work, capture_output=True,
                            text=True, errors="replace")
    if "...Finish" not in result.stderr:
        sys.exit("zembra did not rewrite the log:\n" + result.stderr)
    return int(result.stderr.split("Sorting[")[1].split("]")[0])


def bench_log(zembra, switch, source, runs, work):
    times = {"zembra": [], "zembra -B": [], "cp": [], "sort": [], "zembra cpu": []}
    env = dict(os.environ, LC_ALL="C")
    for _ in range(runs):
        fresh(work, source, "forum.log")
        times["zembra"].append(timed([zembra, switch, "forum.log"], work, cpu=times["zembra cpu"]))
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
    parser.add_argument("--zembra", default=None)
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--only", default=None, help="time only the logs whose name holds this")
    args = parser.parse_args()
    zembra = find_zembra(args.zembra)
    rows = list(LOGS) + [("nifty-" + size, "-N", log_args("nifty", lines))
                         for size, lines in SIZES]
    if args.only:
        rows = [row for row in rows if args.only in row[0]]
    with tempfile.TemporaryDirectory(prefix="zembra-bench-") as work:
        source = os.path.join(work, "source.log")
        print("%d runs each, medians; zembra is %s" % (args.runs, zembra))
        # "z cpu" is zembra's own user + system time; the rest of its wall
        # time is spent waiting, mostly for the fsync that puts the new log
        # on disk before the old one is let go (cp and sort do not sync).
        print("%-18s %5s %6s %9s %9s %9s %9s %9s %6s %6s %8s" % (
            "log", "MB", "msgs", "zembra", "z cpu", "zembra-B", "cp", "sort", "z/cp",
            "z/sort", "peak KiB"))
        for name, switch, make_args in rows:
            make_log(source, make_args)
            megabytes = os.path.getsize(source) / 1e6
            messages = check_log_is_sorted(zembra, switch, source, work)
            medians, rss = bench_log(zembra, switch, source, args.runs, work)
            print("%-18s %5.2f %6d %7.1fms %7.1fms %7.1fms %7.1fms %7.1fms %6.2f %6.2f %8d" % (
                name, megabytes, messages, medians["zembra"] * 1e3,
                medians["zembra cpu"] * 1e3, medians["zembra -B"] * 1e3,
                medians["cp"] * 1e3, medians["sort"] * 1e3,
                medians["zembra"] / medians["cp"], medians["zembra"] / medians["sort"], rss))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
