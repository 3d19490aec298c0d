#!/usr/bin/env python3
"""Time and peak memory of Halvern beside the same work done by a user's alternative.

Rows (each run --runs times, medians of wall time and of peak resident memory, the ratio of the
two programs' median times, and "cpu" the ratio of their median processor times, user and
system, all threads: steadier than wall time on a machine shared with other work; Halvern's
output and the alternative's go to /dev/null):

  sqlite-N      halvern-cli sqlite DB --json (live and carved rows) of an N MB sms-like database
                beside `sqlite3 -json DB` selecting every table; with the recall of the deleted
                messages (same guid, text and date as the message had) and the rows that have
                a message's guid but another text or date ("wrong")
                (--no-recall leaves the recall out: it parses the whole dump)
  live-N        halvern-cli sqlite DB --json --live-only beside the same sqlite3 command
  scan          halvern-cli scan BACKUP --json of the 100,000-file backup beside `sqlite3 -json`
                of its sms.db's message table alone; with the deleted messages found again by
                their text
  recover       halvern-cli recover BACKUP --to OUT beside `cp -r BACKUP OUT`

Databases and the backup are generated into --work on the first run (make_sms_db.py,
make_backup.py) and kept for the next runs; --clean removes them at the end.

    python3 bench/memory_bench.py --cli build-bench/bin/halvern-cli [--runs 5]
        [--sizes 10,100,1000,10000] [--rows sqlite,live,scan,recover] [--work /tmp/halvern-bench]
        [--no-recall] [--clean]

Build the program without sanitizers for meaningful figures:
    cmake -S . -B build-bench -G Ninja -DHALVERN_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release
    cmake --build build-bench --target halvern-cli
Needs the sqlite3 command-line shell.
"""
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def option(name, default):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else default


def measure(argv, stdout=subprocess.DEVNULL):
    """Wall seconds, peak resident memory (MB) and processor seconds (user and system, every
    thread) of one run; fails on a non-zero exit.

    /usr/bin/time starts the program: a child forked from this (larger) process would count
    this process's pages in its peak."""
    with tempfile.NamedTemporaryFile(mode="r", suffix=".time") as report:
        start = time.monotonic()
        code = subprocess.call(["/usr/bin/time", "-f", "%U %S %M", "-o", report.name] + argv,
                               stdout=stdout, stderr=subprocess.DEVNULL)
        seconds = time.monotonic() - start
        if code != 0:
            sys.exit("failed (%d): %s" % (code, " ".join(argv)))
        user, system, peak_kb = report.read().split()[-3:]
    return seconds, int(peak_kb) / 1024.0, float(user) + float(system)


def side_by_side(name, ours, theirs, runs, before=None, after=None):
    """Runs both commands `runs` times, alternating; prints and returns the medians."""
    a, b = [], []
    for _ in range(runs):
        if before:
            before()
        a.append(measure(ours))
        if after:
            after()
        if before:
            before()
        b.append(measure(theirs))
        if after:
            after()
    t_ours = statistics.median(x[0] for x in a)
    t_theirs = statistics.median(x[0] for x in b)
    m_ours = statistics.median(x[1] for x in a)
    m_theirs = statistics.median(x[1] for x in b)
    c_ours = statistics.median(x[2] for x in a)
    c_theirs = statistics.median(x[2] for x in b)
    print("%-14s %9.2f s %9.2f s %7.2fx %10.0f MB %8.0f MB %7.2fx" % (
        name, t_ours, t_theirs, t_ours / t_theirs, m_ours, m_theirs,
        c_ours / max(c_theirs, 0.01)), flush=True)
    return t_ours, t_theirs, m_ours, m_theirs


def deleted_key(db):
    key = {}
    with open(db + ".deleted.jsonl", encoding="utf-8") as f:
        for line in f:
            m = json.loads(line)
            key[m["guid"]] = (m["text"], m["date"])
    return key


def sqlite_recall(cli, db):
    """Deleted messages given back with their guid, text and date, from one dump."""
    key = deleted_key(db)
    found, wrong = set(), 0
    decoder = json.JSONDecoder()
    marker = '{"deleted":1,'
    with tempfile.TemporaryFile(mode="w+", encoding="utf-8") as out:
        subprocess.run([cli, "sqlite", db, "--json"], stdout=out, check=True)
        out.seek(0)
        buf, pos = "", 0
        while True:
            chunk = out.read(1 << 24)
            buf = buf[pos:] + chunk
            pos = 0
            while True:
                at = buf.find(marker, pos)
                if at < 0:
                    pos = max(0, len(buf) - len(marker))
                    break
                try:
                    row, end = decoder.raw_decode(buf, at)
                except json.JSONDecodeError:
                    if not chunk:  # the document ended inside a row: cannot be
                        pos = len(buf)
                        break
                    pos = at
                    break
                pos = end
                values = row.get("values", [])
                if len(values) < 16 or values[1] not in key:
                    continue
                text, date = key[values[1]]
                if values[2] == text and values[15] == date:
                    found.add(values[1])
                elif values[2] is not None and values[15] is not None:
                    wrong += 1
            if not chunk:
                break
    return len(found), len(key), wrong


def scan_recall(cli, backup, key_db):
    """Deleted messages of the scan whose text is the text of a deleted message."""
    texts = {}
    for text, _ in deleted_key(key_db).values():
        texts[text] = texts.get(text, 0) + 1
    total = sum(texts.values())
    doc = json.loads(subprocess.run([cli, "scan", backup, "--json"], check=True,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout)
    found = 0

    def walk(node):
        nonlocal found
        if isinstance(node, dict):
            if node.get("deleted") == 1 and texts.get(node.get("text"), 0) > 0:
                texts[node["text"]] -= 1
                found += 1
            for v in node.values():
                walk(v)
        elif isinstance(node, list):
            for v in node:
                walk(v)

    walk(doc.get("categories", {}).get("messages"))
    return found, total


def main():
    cli = os.path.abspath(option("--cli", "build-bench/bin/halvern-cli"))
    runs = int(option("--runs", "5"))
    sizes = [int(s) for s in option("--sizes", "10,100,1000").split(",") if s]
    rows = option("--rows", "sqlite,live,scan,recover").split(",")
    work = option("--work", "/tmp/halvern-bench")
    if not shutil.which("sqlite3"):
        sys.exit("the sqlite3 shell is needed (apt-get install sqlite3)")
    os.makedirs(work, exist_ok=True)
    print("%-14s %11s %11s %8s %13s %11s %8s" % ("work", "Halvern", "other", "ratio",
                                                 "Halvern peak", "other peak", "cpu"))
    for mb in sizes:
        db = os.path.join(work, "sms-%d.db" % mb)
        if not os.path.exists(db + ".deleted.jsonl"):
            subprocess.run([sys.executable, os.path.join(HERE, "make_sms_db.py"), db, str(mb)],
                           check=True, stdout=subprocess.DEVNULL)
        tables = subprocess.run(["sqlite3", db, "SELECT name FROM sqlite_master WHERE type="
                                 "'table' AND name NOT LIKE 'sqlite_%'"], check=True,
                                stdout=subprocess.PIPE, text=True).stdout.split()
        every = "".join('SELECT * FROM "%s";' % t for t in tables)
        reference = ["sqlite3", "-json", db, every]
        if "sqlite" in rows:
            side_by_side("sqlite-%d" % mb, [cli, "sqlite", db, "--json"], reference, runs)
            if "--no-recall" not in sys.argv:
                found, total, wrong = sqlite_recall(cli, db)
                print("%-14s recall of deleted messages %d of %d (%.2f %%), %d wrong" % (
                    "", found, total, 100.0 * found / total, wrong), flush=True)
        if "live" in rows:
            side_by_side("live-%d" % mb, [cli, "sqlite", db, "--json", "--live-only"], reference,
                         runs)
    if "scan" in rows or "recover" in rows:
        backup = os.path.join(work, "backup")
        if not os.path.exists(os.path.join(backup, "Manifest.db")):
            subprocess.run([sys.executable, os.path.join(HERE, "make_backup.py"), backup],
                           check=True, stdout=subprocess.DEVNULL)
        sms_id = hashlib.sha1(b"HomeDomain-Library/SMS/sms.db").hexdigest()
        sms = os.path.join(backup, sms_id[:2], sms_id)
        if "scan" in rows:
            side_by_side("scan", [cli, "scan", backup, "--json"],
                         ["sqlite3", "-json", sms, "SELECT * FROM message"], runs)
            found, total = scan_recall(cli, backup, backup + "-sms.db")
            print("%-14s deleted messages found again %d of %d (%.2f %%)" % (
                "", found, total, 100.0 * found / total), flush=True)
        if "recover" in rows:
            out = os.path.join(work, "out")
            clear = lambda: shutil.rmtree(out, ignore_errors=True)  # noqa: E731
            side_by_side("recover", [cli, "recover", backup, "--to", out],
                         ["cp", "-r", backup, out], runs, before=clear, after=clear)
    if "--clean" in sys.argv:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
