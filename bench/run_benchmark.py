#!/usr/bin/env python3
"""Times zembra against the least a correct rewrite must do, cp and sort.

On one machine in one run, alternating, each run on the directory a user's
second run finds (the log and an old .BAK of it, both on disk, the page cache
warm): zembra, zembra -B, the rewrite floor (bench/rewrite_floor.c: read the
log twice with a newline scan, write the sorted log's size to a side file,
fsync, rename it over the log), the floor with -B (which also syncs the
directory, as zembra -B does), cp, and LC_ALL=C sort -o. The old log that the
floor's rename lets go costs what zembra's rename over the old .BAK costs.
Reports the median wall time of each, the medians of the per-round ratios
zembra / floor and zembra -B / floor -B (a round's runs share the machine's
load, so their ratio is steadier than a ratio of medians), zembra's peak
resident memory, and the machine's load average as each row ends.

Then two scale figures, also in alternating rounds:
- many logs: `zembra -P` on 1,000 small logs in one call against 100, each
  log with an old .BAK beside it; time per log and its ratio, beside the
  floor's, run once per log on the same logs;
- a big directory: one 8 MB log among 50,000 other files against the same log
  alone in its directory, named LOG.TXT (as zembra writes it) and log.txt.

Every log of the main table holds close to 3000 message headers, the index's
limit (a log of more is refused, which would time nothing but the indexer), in
the shapes users' logs have: overlapping downloads of 1000 messages (the first
rows), mostly unique messages from overlapping downloads each in its own
shuffled order (about 15% repeats), overlapping downloads in posting order,
every message 3 times, a log already in order, NIFTY SERVE with a forum banner
line every 100 messages, with and without long lines. Two big logs follow
(--big-runs rounds, without cp and sort): 256 MB of 3000 messages, and
90,000 messages run with --max-messages; their time should grow with their
size as the floor's does. Beside the peak resident memory (which counts the
pages of the mapped log, the page cache's) the table gives the peak of
zembra's own (anonymous) memory, sampled while it runs.

    bench/run_benchmark.py [--zembra PATH] [--floor PATH] [--runs 21]
                           [--big-runs 3] [--scale-runs 5] [--only NAME]
                           [--parts main,big,many,bigdir] [--dir DIR]

Without --zembra it uses build/default/zembra and without --floor
build/default/bench/rewrite_floor, configuring and building the default
preset's targets first when they are missing. The work directory (--dir, by
default one under the system's temporary folder) must be on a real disk file
system: on a RAM file system fsync and freeing blocks cost nothing.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOGMAKER = os.path.join(ROOT, "scripts", "logmaker.py")
BUILD = os.path.join(ROOT, "build", "default")


def log_args(service, body_lines, downloads="4", extra=()):
    return [service, "--messages", "1000", "--downloads", downloads,
            "--body-lines", str(body_lines)] + list(extra)


def shape_args(service, order, messages, body_lines, downloads=3, extra=()):
    return [service, "--messages", str(messages), "--downloads", str(downloads),
            "--body-lines", str(body_lines), "--order", order] + list(extra)


# name, switches, logmaker arguments. Bodies average 2.6 KB, so 3000 headers
# make about 8 MB.
LOGS = [
    ("pcvan-8mb", "-P", log_args("pcvan", 110)),
    ("pcvan-8mb-nocheck", "-P!", log_args("pcvan", 110)),
    ("nifty-8mb", "-N", log_args("nifty", 114)),
    ("nifty-long-lines", "-N", log_args("nifty", 60, extra=["--long-percent", "10"])),
    ("pcvan-all-repeat", "-P", log_args("pcvan", 110, "3", ["--repeat-all"])),
    ("nifty-all-repeat", "-N", log_args("nifty", 110, "3", ["--repeat-all"])),
    ("pcvan-shuffled", "-P", shape_args("pcvan", "shuffled", 2600, 110)),
    ("nifty-shuffled", "-N", shape_args("nifty", "shuffled", 2600, 114)),
    ("pcvan-posting", "-P", shape_args("pcvan", "posting", 2150, 110, 5)),
    ("nifty-posting", "-N", shape_args("nifty", "posting", 2150, 114, 5)),
    ("pcvan-in-order", "-P", shape_args("pcvan", "sorted", 2900, 110)),
    ("nifty-in-order", "-N", shape_args("nifty", "sorted", 2900, 114)),
    ("nifty-banners", "-N", shape_args("nifty", "shuffled", 2600, 114,
                                       extra=["--banner-every", "100"])),
    ("nifty-banners-long", "-N", shape_args("nifty", "shuffled", 2600, 60,
                                            extra=["--banner-every", "100",
                                                   "--long-percent", "10"])),
]
# name, switches, logmaker arguments, further zembra arguments: about 256 MB
# of 3000 messages, and 90,000 messages of a few lines.
BIG_LOGS = [
    ("pcvan-256mb", "-P", shape_args("pcvan", "shuffled", 2600, 3800), []),
    ("pcvan-90000-msgs", "-P", shape_args("pcvan", "shuffled", 78000, 4),
     ["--max-messages=100000"]),
]
# Body lines per message giving NIFTY SERVE logs of about 1, 2, 4 and 8 MB.
SIZES = [("1mb", 13), ("2mb", 26), ("4mb", 56), ("8mb", 114)]
# A small log of about 43 KB, eleven messages, for the many-logs figure.
SMALL_LOG = ["pcvan", "--messages", "11", "--downloads", "1", "--body-lines", "110"]
MANY_COUNTS = (100, 1000)
OTHER_FILES = 50000

# The names zembra gives the log and its backup in the main table.
LOG_NAME = "FORUM.LOG"
BAK_NAME = "FORUM.BAK"


def make_log(path, args, seed=7):
    subprocess.run([sys.executable, LOGMAKER, args[0], path] + args[1:] + ["--seed", str(seed)],
                   check=True)


def build_target(target):
    if not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
        subprocess.run(["cmake", "--preset", "default"], cwd=ROOT, check=True)
    subprocess.run(["cmake", "--build", "--preset", "default", "--target", target],
                   cwd=ROOT, check=True)


def find_zembra(path):
    if path:
        return os.path.abspath(path)
    zembra = os.path.join(BUILD, "zembra")
    if not os.path.exists(zembra):
        build_target("zembra")
    return zembra


def find_floor(path):
    if path:
        return os.path.abspath(path)
    floor = os.path.join(BUILD, "bench", "rewrite_floor")
    if not os.path.exists(floor):
        build_target("rewrite_floor")
    return floor


def load_average():
    return "%.2f %.2f %.2f" % os.getloadavg()


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


def remove_all(directory):
    for leftover in os.listdir(directory):
        os.remove(os.path.join(directory, leftover))


def steady(directory, source, log_name=LOG_NAME, bak_name=BAK_NAME):
    """The directory as a second run finds it: the log and an old backup of
    the same size, both on disk (a run in a fresh directory frees no old
    file, which the floor's rename always does)."""
    remove_all(directory)
    shutil.copyfile(source, os.path.join(directory, log_name))
    shutil.copyfile(source, os.path.join(directory, bak_name))
    os.sync()
    return log_name


def check_log_is_sorted(zembra, switch, source, work, extra=()):
    """A log that zembra refuses (too many headers) would time nothing."""
    steady(work, source)
    result = subprocess.run([zembra, switch] + list(extra) + [LOG_NAME], cwd=work,
                            capture_output=True, text=True, errors="replace")
    if "...Finish" not in result.stderr:
        sys.exit("zembra did not rewrite the log:\n" + result.stderr)
    messages = int(result.stderr.split("Sorting[")[1].split("]")[0])
    return messages, os.path.getsize(os.path.join(work, LOG_NAME))


def median_ratio(times, name, base):
    return statistics.median([t / f for t, f in zip(times[name], times[base])])


def peak_private_kib(command, cwd):
    """The most anonymous memory (RssAnon) the run held, sampled as it runs:
    the pages of a mapped log are the page cache's, not the run's own."""
    child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    peak = 0
    while child.poll() is None:
        try:
            with open("/proc/%d/status" % child.pid) as status:
                for line in status:
                    if line.startswith("RssAnon:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
    return peak


def bench_log(zembra, floor, switch, source, sorted_bytes, runs, work, extra=(), others=True):
    names = ("zembra", "zembra -B", "floor", "floor -B", "cp", "sort", "zembra cpu")
    times = {name: [] for name in names}
    env = dict(os.environ, LC_ALL="C")
    size = str(sorted_bytes)
    extra = list(extra)
    commands = [("zembra", [zembra, switch] + extra, None),
                ("zembra -B", [zembra, switch + "B"] + extra, None),
                ("floor", [floor], None),
                ("floor -B", [floor], None)]
    if others:
        commands += [("cp", ["cp"], None), ("sort", ["sort", "-o", "sorted.log"], env)]
    # Each round runs the commands in another order (the same for every
    # benchmark run), so that what a command leaves the machine doing does
    # not always fall on the same next one: on the 256 MB log zembra took
    # 0.60 s after the floor and 0.40 s after itself.
    for round_index in range(runs):
        order = list(commands)
        random.Random(round_index).shuffle(order)
        for name, command, command_env in order:
            log = steady(work, source)
            if name.startswith("floor"):
                line = command + [log, size] + (["-B"] if name == "floor -B" else [])
            elif name == "cp":
                line = command + [log, "copy.log"]
            else:
                line = command + [log]
            cpu = times["zembra cpu"] if name == "zembra" else None
            times[name].append(timed(line, work, command_env, cpu))
    log = steady(work, source)
    rss = peak_rss_kib([zembra, switch] + extra + [log], work)
    log = steady(work, source)
    private = peak_private_kib([zembra, switch] + extra + [log], work)
    medians = {k: statistics.median(v) if v else 0.0 for k, v in times.items()}
    medians["zembra / floor"] = median_ratio(times, "zembra", "floor")
    medians["zembra -B / floor -B"] = median_ratio(times, "zembra -B", "floor -B")
    return medians, rss, private


def run_main_table(zembra, floor, args, work, parts):
    rows = []
    if "main" in parts:
        rows += [(name, switch, make_args, [], args.runs, True)
                 for name, switch, make_args in LOGS]
        rows += [("nifty-" + size, "-N", log_args("nifty", lines), [], args.runs, True)
                 for size, lines in SIZES]
    if "big" in parts:
        rows += [(name, switch, make_args, extra, args.big_runs, False)
                 for name, switch, make_args, extra in BIG_LOGS]
    if args.only:
        rows = [row for row in rows if args.only in row[0]]
    if not rows:
        return
    source = os.path.join(work, "source.log")
    directory = os.path.join(work, "run")
    os.mkdir(directory)
    print("%d alternating rounds (the big logs %d), medians, an old .BAK present" % (
        args.runs, args.big_runs))
    # "z cpu" is zembra's own user + system time; the rest of its wall time
    # is spent waiting, mostly for the fsync that puts the new log on disk
    # before the old one is let go. "z/fl" and "B/flB" are per-round ratios.
    # "peak KiB" is the peak resident memory, mapped pages of the log
    # included; "own KiB" the peak of zembra's anonymous memory.
    print("%-18s %6s %5s %8s %8s %8s %8s %8s %5s %5s %8s %8s %8s %7s %6s" % (
        "log", "MB", "msgs", "zembra", "z cpu", "zembra-B", "floor", "floor-B", "z/fl",
        "B/flB", "cp", "sort", "peak KiB", "own KiB", "load"))
    for name, switch, make_args, extra, runs, others in rows:
        make_log(source, make_args)
        megabytes = os.path.getsize(source) / 1e6
        messages, sorted_bytes = check_log_is_sorted(zembra, switch, source, directory, extra)
        medians, rss, private = bench_log(zembra, floor, switch, source, sorted_bytes, runs,
                                          directory, extra, others)
        print("%-18s %6.1f %5d %6.1fms %6.1fms %6.1fms %6.1fms %6.1fms %5.2f %5.2f "
              "%6.1fms %6.1fms %8d %7d %6.2f" % (
                  name, megabytes, messages, medians["zembra"] * 1e3,
                  medians["zembra cpu"] * 1e3, medians["zembra -B"] * 1e3,
                  medians["floor"] * 1e3, medians["floor -B"] * 1e3, medians["zembra / floor"],
                  medians["zembra -B / floor -B"], medians["cp"] * 1e3, medians["sort"] * 1e3,
                  rss, private, os.getloadavg()[0]))
        sys.stdout.flush()


def many_logs_setup(directory, source, count):
    """`count` copies of the small log, each with an old backup, on disk."""
    remove_all(directory)
    names = []
    for n in range(count):
        name = "LOG%04d.LOG" % n
        shutil.copyfile(source, os.path.join(directory, name))
        shutil.copyfile(source, os.path.join(directory, "LOG%04d.BAK" % n))
        names.append(name)
    os.sync()
    return names


def run_many_logs(zembra, floor, args, work):
    """zembra on many logs in one call, and the floor run on each of the same
    logs in turn: where the file system's own cost of a new file grows with
    the files deleted just before (ext4 without a journal checks each
    recently freed inode), the floor's time per log grows as well."""
    source = os.path.join(work, "small.log")
    make_log(source, SMALL_LOG)
    size = str(os.path.getsize(source))
    directory = os.path.join(work, "many")
    os.mkdir(directory)
    per_log = {(who, count): [] for who in ("zembra", "floor") for count in MANY_COUNTS}
    cpu_per_log = {count: [] for count in MANY_COUNTS}
    for _ in range(args.scale_runs):
        for count in MANY_COUNTS:
            names = many_logs_setup(directory, source, count)
            cpu = []
            per_log[("zembra", count)].append(
                timed([zembra, "-P"] + names, directory, cpu=cpu) / count)
            cpu_per_log[count].append(cpu[0] / count)
            names = many_logs_setup(directory, source, count)
            start = time.perf_counter()
            for name in names:
                timed([floor, name, size], directory)
            per_log[("floor", count)].append((time.perf_counter() - start) / count)
    few, many = MANY_COUNTS

    def growth(who):
        return statistics.median([m / f for m, f in zip(per_log[(who, many)],
                                                        per_log[(who, few)])])

    cpu_ratio = statistics.median([m / f for m, f in zip(cpu_per_log[many], cpu_per_log[few])])
    print("\nzembra -P on many %.1f KB logs in one call, an old .BAK beside each, "
          "%d alternating rounds (the floor: one run per log):" % (
              os.path.getsize(source) / 1e3, args.scale_runs))
    for count in MANY_COUNTS:
        print("  %5d logs: %6.2f ms per log (CPU %5.2f ms), floor %6.2f ms per log" % (
            count, statistics.median(per_log[("zembra", count)]) * 1e3,
            statistics.median(cpu_per_log[count]) * 1e3,
            statistics.median(per_log[("floor", count)]) * 1e3))
    # Each log's fsync takes most of the wall time and hides what grows.
    print("  time per log, %d / %d: zembra %.2f (CPU %.2f), floor %.2f (load %s)" % (
        many, few, growth("zembra"), cpu_ratio, growth("floor"), load_average()))
    sys.stdout.flush()


def new_directory(work, name):
    path = os.path.join(work, name)
    os.mkdir(path)
    return path


def big_directory_setup(directory, source, log_name):
    """The log under `log_name` and an old backup, the other files untouched."""
    for name in ("LOG.TXT", "log.txt", "LOG.BAK", "LOG.TXT.new"):
        path = os.path.join(directory, name)
        if os.path.exists(path):
            os.remove(path)
    shutil.copyfile(source, os.path.join(directory, log_name))
    shutil.copyfile(source, os.path.join(directory, "LOG.BAK"))
    os.sync()


def run_big_directory(zembra, floor, args, work):
    source = os.path.join(work, "source.log")
    make_log(source, LOGS[0][2])
    _, sorted_bytes = check_log_is_sorted(zembra, "-P", source, new_directory(work, "check"))
    alone = new_directory(work, "alone")
    crowded = new_directory(work, "crowded")
    for n in range(OTHER_FILES):
        os.close(os.open(os.path.join(crowded, "F%05d.DAT" % n), os.O_CREAT | os.O_WRONLY, 0o644))
    os.sync()
    print("\nOne %.1f MB log among %d other files against the same log alone, an old .BAK "
          "present, %d alternating rounds:" % (os.path.getsize(source) / 1e6, OTHER_FILES,
                                              args.scale_runs))
    for log_name in ("LOG.TXT", "log.txt"):
        times = {key: [] for key in ("alone", "crowded", "floor alone", "floor crowded")}
        for _ in range(args.scale_runs):
            for place, directory in (("alone", alone), ("crowded", crowded)):
                big_directory_setup(directory, source, log_name)
                times[place].append(timed([zembra, "-P", log_name], directory))
                big_directory_setup(directory, source, "LOG.TXT")
                times["floor " + place].append(
                    timed([floor, "LOG.TXT", str(sorted_bytes)], directory))
        print("  %-7s alone %6.1f ms (floor %5.1f), among the others %6.1f ms (floor %5.1f): "
              "%.2f times alone, %.2f times the floor (load %s)" % (
                  log_name, statistics.median(times["alone"]) * 1e3,
                  statistics.median(times["floor alone"]) * 1e3,
                  statistics.median(times["crowded"]) * 1e3,
                  statistics.median(times["floor crowded"]) * 1e3,
                  median_ratio(times, "crowded", "alone"),
                  median_ratio(times, "crowded", "floor crowded"), load_average()))
        sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zembra", default=None)
    parser.add_argument("--floor", default=None)
    parser.add_argument("--runs", type=int, default=21)
    parser.add_argument("--big-runs", type=int, default=3)
    parser.add_argument("--scale-runs", type=int, default=5)
    parser.add_argument("--only", default=None, help="time only the logs whose name holds this")
    parser.add_argument("--parts", default="main,big,many,bigdir")
    parser.add_argument("--dir", default=None, help="where to make the work directory")
    args = parser.parse_args()
    zembra = find_zembra(args.zembra)
    floor = find_floor(args.floor)
    parts = args.parts.split(",")
    print("zembra is %s, the floor %s" % (zembra, floor))
    print("%d CPUs, load average %s at the start" % (os.cpu_count(), load_average()))
    with tempfile.TemporaryDirectory(prefix="zembra-bench-", dir=args.dir) as work:
        if "main" in parts or "big" in parts:
            run_main_table(zembra, floor, args, work, parts)
        if "many" in parts:
            run_many_logs(zembra, floor, args, work)
        if "bigdir" in parts:
            run_big_directory(zembra, floor, args, work)
    print("load average %s at the end" % load_average())


if __name__ == "__main__":
    main()
