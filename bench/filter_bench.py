#!/usr/bin/env python3
"""The filters of `halvern-cli scan` over the benchmark backup (bench/make_backup.py: about 1.2
million messages over 400 people, the backup search_bench.py makes and uses).

Each run scans the backup once and filters it: by one person (a number of the bench's
address list, written the way people type it), by a span of days, and both. The program says
how long making the filter and filtering the whole scan took ("filtered in X s" on standard
error, the scan itself not counted); the messages kept are read from the counts it prints.

    python3 bench/filter_bench.py --cli build-bench/bin/halvern-cli
        [--work /tmp/halvern-bench] [--runs 3]
"""
import os
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = [
    ("person", ["--with", "+44 7700 900211"]),
    ("span", ["--since", "2020-01-01", "--until", "2020-12-31"]),
    ("person and span", ["--with", "07700900211", "--since", "2020-01-01", "--until", "2020-12-31"]),
]


def option(name, default):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else default


def main():
    cli = option("--cli", "build-bench/bin/halvern-cli")
    work = option("--work", "/tmp/halvern-bench")
    runs = int(option("--runs", "3"))
    backup = os.path.join(work, "backup")
    if not os.path.isdir(backup):
        subprocess.run([sys.executable, os.path.join(HERE, "make_backup.py"), backup], check=True)
    for name, args in CASES:
        took, kept = [], None
        for _ in range(runs):
            run = subprocess.run([cli, "scan", backup] + args, capture_output=True, text=True)
            if run.returncode not in (0, 1) or "filtered in" not in run.stderr:
                sys.exit("filter_bench: halvern-cli failed: " + run.stderr[-400:])
            took.append(float(re.search(r"filtered in ([0-9.]+) s", run.stderr).group(1)))
            found = re.search(r"^Messages\s+(\d+)", run.stdout, re.M)
            kept = found.group(1) if found else "?"
        print("%-16s filtered in %.3f s (median of %d)  messages kept: %s"
              % (name, statistics.median(took), runs, kept))


if __name__ == "__main__":
    main()
