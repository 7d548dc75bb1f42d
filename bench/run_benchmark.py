#!/usr/bin/env python3
"""Times zembra against the least a correct rewrite must do, cp and sort.

On one machine in one run, alternating, on fresh copies of the same log (the
page cache warm): zembra with backup, zembra -B, the rewrite floor
(bench/rewrite_floor.cpp: read the log twice with a newline scan, write the
sorted log's size, one fsync, one rename), cp, and LC_ALL=C sort -o.
Reports the median wall time of each, the medians of the per-round ratios
zembra / floor and zembra -B / floor (a round's runs share the machine's
load, so their ratio is steadier than a ratio of medians), zembra's ratio
to cp and to sort, its peak resident memory, and how the time grows with the
log's size.

Every log holds close to 3000 message headers, the index's limit (a log of
more is refused, which would time nothing but the indexer), from overlapping
downloads of 1000 messages.

    bench/run_benchmark.py [--zembra PATH] [--runs 21] [--only NAME]

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


def build_floor(work):
    floor = os.path.join(work, "rewrite_floor")
    subprocess.run([os.environ.get("CXX", "c++"), "-O2", "-o", floor,
                    os.path.join(ROOT, "bench", "rewrite_floor.cpp")], check=True)
    return floor


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
        if leftover not in ("source.log", "rewrite_floor"):
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
    messages = int(result.stderr.split("Sorting[")[1].split("]")[0])
    # zembra writes the log under its upper-cased name.
    return messages, os.path.getsize(os.path.join(work, "FORUM.LOG"))


def bench_log(zembra, floor, switch, source, sorted_bytes, runs, work):
    times = {"zembra": [], "zembra -B": [], "floor": [], "cp": [], "sort": [], "zembra cpu": []}
    env = dict(os.environ, LC_ALL="C")
    for _ in range(runs):
        fresh(work, source, "forum.log")
        times["zembra"].append(timed([zembra, switch, "forum.log"], work, cpu=times["zembra cpu"]))
        fresh(work, source, "forum.log")
        times["zembra -B"].append(timed([zembra, switch + "B", "forum.log"], work))
        fresh(work, source, "forum.log")
        times["floor"].append(timed([floor, "forum.log", str(sorted_bytes)], work))
        fresh(work, source, "forum.log")
        times["cp"].append(timed(["cp", "forum.log", "copy.log"], work))
        fresh(work, source, "forum.log")
        times["sort"].append(timed(["sort", "-o", "sorted.log", "forum.log"], work, env))
    fresh(work, source, "forum.log")
    rss = peak_rss_kib([zembra, switch, "forum.log"], work)
    medians = {k: statistics.median(v) for k, v in times.items()}
    for name in ("zembra", "zembra -B"):
        medians[name + " / floor"] = statistics.median(
            [t / f for t, f in zip(times[name], times["floor"])])
    return medians, rss


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zembra", default=None)
    parser.add_argument("--runs", type=int, default=21)
    parser.add_argument("--only", default=None, help="time only the logs whose name holds this")
    args = parser.parse_args()
    zembra = find_zembra(args.zembra)
    rows = list(LOGS) + [("nifty-" + size, "-N", log_args("nifty", lines))
                         for size, lines in SIZES]
    if args.only:
        rows = [row for row in rows if args.only in row[0]]
    with tempfile.TemporaryDirectory(prefix="zembra-bench-") as work:
        source = os.path.join(work, "source.log")
        floor = build_floor(work)
        print("%d alternating rounds, medians; zembra is %s" % (args.runs, zembra))
        # "z cpu" is zembra's own user + system time; the rest of its wall
        # time is spent waiting, mostly for the fsync that puts the new log
        # on disk before the old one is let go (the floor syncs once too; cp
        # and sort do not sync). "z/fl" and "B/fl" are per-round ratios.
        print("%-18s %5s %5s %8s %8s %8s %8s %8s %8s %5s %5s %5s %6s %8s" % (
            "log", "MB", "msgs", "zembra", "z cpu", "zembra-B", "floor", "cp", "sort", "z/fl",
            "B/fl", "z/cp", "z/sort", "peak KiB"))
        for name, switch, make_args in rows:
            make_log(source, make_args)
            megabytes = os.path.getsize(source) / 1e6
            messages, sorted_bytes = check_log_is_sorted(zembra, switch, source, work)
            medians, rss = bench_log(zembra, floor, switch, source, sorted_bytes, args.runs, work)
            print("%-18s %5.2f %5d %6.1fms %6.1fms %6.1fms %6.1fms %6.1fms %6.1fms %5.2f %5.2f "
                  "%5.2f %6.2f %8d" % (
                      name, megabytes, messages, medians["zembra"] * 1e3,
                      medians["zembra cpu"] * 1e3, medians["zembra -B"] * 1e3,
                      medians["floor"] * 1e3, medians["cp"] * 1e3, medians["sort"] * 1e3,
                      medians["zembra / floor"], medians["zembra -B / floor"],
                      medians["zembra"] / medians["cp"], medians["zembra"] / medians["sort"], rss))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
