#!/usr/bin/env python3
"""Records or compares everything zembra leaves behind on the benchmark logs.

Runs zembra with every combination of the switches B, ! and D on each
benchmark log and each shipped example, in a fresh directory per run, and
keeps the exit status, standard output, standard error and a digest of every
file left in the directory. A change made for speed must leave all of it
byte for byte as it was:

    bench/check_outputs.py record REFERENCE_DIR [--zembra PATH]
    bench/check_outputs.py compare REFERENCE_DIR [--zembra PATH]
"""
import argparse
import hashlib
import itertools
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_benchmark  # noqa: E402


def digest(path):
    with open(path, "rb") as data:
        return hashlib.sha256(data.read()).hexdigest()


def switch_sets(service_switch):
    for flags in itertools.product(["", "B"], ["", "!"], ["", "D"]):
        yield service_switch + "".join(flags)


def inputs(work):
    """(name, service switch, path) of every log the check runs on."""
    logs = []
    made = []
    for name, switch, make_args in run_benchmark.LOGS:
        if make_args in made:
            continue  # the same log again; every switch set is run anyway
        made.append(make_args)
        path = os.path.join(work, name + ".src")
        run_benchmark.make_log(path, make_args)
        logs.append((name, switch, path))
    for name, switch in [("pcvan.log", "-P"), ("nifty.log", "-N")]:
        logs.append(("examples-" + name, switch, os.path.join(run_benchmark.ROOT, "examples", name)))
    return logs


def run_one(zembra, switch, source, work):
    run_dir = os.path.join(work, "run")
    shutil.rmtree(run_dir, ignore_errors=True)
    os.mkdir(run_dir)
    shutil.copyfile(source, os.path.join(run_dir, "forum.log"))
    result = subprocess.run([zembra, switch, "forum.log"], cwd=run_dir, capture_output=True)
    files = {name: digest(os.path.join(run_dir, name)) for name in sorted(os.listdir(run_dir))}
    return {
        "status": result.returncode,
        "stdout": hashlib.sha256(result.stdout).hexdigest(),
        "stdout_lines": result.stdout.count(b"\n"),
        "stderr": result.stderr.decode("latin-1"),
        "files": files,
    }


def collect(zembra):
    outcome = {}
    with tempfile.TemporaryDirectory(prefix="zembra-check-") as work:
        for name, service_switch, source in inputs(work):
            outcome[name + " source"] = digest(source)
            for switch in switch_sets(service_switch):
                outcome[name + " " + switch] = run_one(zembra, switch, source, work)
    return outcome


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["record", "compare"])
    parser.add_argument("reference_dir")
    parser.add_argument("--zembra", default=None)
    args = parser.parse_args()
    zembra = run_benchmark.find_zembra(args.zembra)
    outcome = collect(zembra)
    reference = os.path.join(args.reference_dir, "outputs.json")
    if args.mode == "record":
        os.makedirs(args.reference_dir, exist_ok=True)
        with open(reference, "w") as out:
            json.dump(outcome, out, indent=1, sort_keys=True)
        print("recorded %d runs in %s" % (len(outcome), reference))
        return 0
    with open(reference) as recorded:
        expected = json.load(recorded)
    differences = [key for key in sorted(set(expected) | set(outcome))
                   if expected.get(key) != outcome.get(key)]
    for key in differences:
        print("DIFFERS: %s\n  expected %s\n  got      %s" % (key, expected.get(key), outcome.get(key)))
    print("%d runs compared, %d differ" % (len(outcome), len(differences)))
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
