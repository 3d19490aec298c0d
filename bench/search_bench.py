#!/usr/bin/env python3
"""halvern-cli search over the benchmark backup beside sqlite3 running the same LIKE query.

The backup (bench/make_backup.py: 100,000 files, a 1 GB sms.db of about 1.2 million messages,
a fifth of them deleted, the deleted ones' texts in <backup>-sms.db.deleted.jsonl) is scanned
once by `halvern-cli search TEXT BACKUP --only messages --json`; the program says how long the
search itself took once the scan was done ("searched in X s" on standard error). Beside it:

  sqlite3 sms.db "SELECT count(*) FROM message WHERE text LIKE '%TEXT%'"

timed from start to end (a process of its own reading the database, warm in the page cache).
The hits are checked against references: the live messages whose text holds TEXT (the sqlite3
count; LIKE ignores ASCII case like the search) and the deleted messages of the key whose text
holds it (the search brings those back by carving; fewer means some were not recovered).

    python3 bench/search_bench.py --cli build-bench/bin/halvern-cli
        [--work /tmp/halvern-bench] [--text "landed will"] [--runs 5]
"""
import json
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def option(name, default):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else default


def main():
    cli = option("--cli", "build-bench/bin/halvern-cli")
    work = option("--work", "/tmp/halvern-bench")
    text = option("--text", "landed will")
    runs = int(option("--runs", "5"))
    backup = os.path.join(work, "backup")
    if not os.path.isdir(backup):
        subprocess.run([sys.executable, os.path.join(HERE, "make_backup.py"), backup], check=True)
    sms = None
    for root, _, files in os.walk(backup):
        for f in files:
            path = os.path.join(root, f)
            if os.path.getsize(path) > 100 * 1024 * 1024:
                with open(path, "rb") as db:
                    if db.read(16) == b"SQLite format 3\x00":
                        sms = path
    if sms is None:
        sys.exit("search_bench: no sms.db in " + backup)

    searches, hits = [], None
    for _ in range(runs):
        run = subprocess.run([cli, "search", text, backup, "--only", "messages", "--json"],
                             capture_output=True, text=True)
        if run.returncode != 0:
            sys.exit("search_bench: halvern-cli failed: " + run.stderr[-400:])
        took = re.search(r"searched in ([0-9.]+) s", run.stderr)
        searches.append(float(took.group(1)))
        hits = json.loads(run.stdout)["hits"]

    query = "SELECT count(*) FROM message WHERE text LIKE '%%%s%%'" % text.replace("'", "''")
    lite, count = [], None
    for _ in range(runs):
        start = time.monotonic()
        out = subprocess.run(["sqlite3", sms, query], capture_output=True, text=True, check=True)
        lite.append(time.monotonic() - start)
        count = int(out.stdout.strip())

    wanted = text.lower()
    deleted_ref = 0
    with open(backup.rstrip("/") + "-sms.db.deleted.jsonl", encoding="utf-8") as key:
        for line in key:
            t = json.loads(line).get("text") or ""
            deleted_ref += wanted in t.lower()
    live_hits = sum(1 for h in hits if not h["deleted"] and h["field"] == "text")
    deleted_hits = sum(1 for h in hits if h["deleted"] and h["field"] == "text")
    s, q = statistics.median(searches), statistics.median(lite)
    print("query                 %r" % text)
    print("search (after scan)   %.3f s   sqlite3 LIKE  %.3f s   ratio %.2fx" % (s, q, s / q))
    print("live hits             %d   sqlite3 count %d   %s" %
          (live_hits, count, "equal" if live_hits == count else "DIFFERENT"))
    print("deleted hits          %d   in the key    %d   (%.1f %% brought back)" %
          (deleted_hits, deleted_ref, 100.0 * deleted_hits / deleted_ref if deleted_ref else 100))


if __name__ == "__main__":
    main()
