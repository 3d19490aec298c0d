#!/usr/bin/env python3
"""How many older row versions a write-ahead log gives back.

Builds an sms-like table in WAL mode with the SQLite library (20 commits, each inserting 200
rows, editing 40 and deleting 30; never checkpointed), copies the database and its log as a
file-system copy would (no -shm), runs `halvern-cli sqlite COPY --json` and counts the committed
older versions of rows (every state a row had at a commit, but not its state now) that come
back value for value.

    python3 bench/wal_versions.py build/bin/halvern-cli [--secure-delete]
"""
import json
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import tempfile


def main():
    cli = sys.argv[1]
    secure = "--secure-delete" in sys.argv
    random.seed(1)
    work = tempfile.mkdtemp(prefix="halvern-wal-")
    try:
        db = os.path.join(work, "sms.db")
        c = sqlite3.connect(db, isolation_level=None)
        c.execute("PRAGMA page_size=4096")
        c.execute("PRAGMA secure_delete=%s" % ("ON" if secure else "OFF"))
        c.execute("PRAGMA journal_mode=WAL")
        c.execute("PRAGMA wal_autocheckpoint=0")
        c.execute("CREATE TABLE message(id INTEGER PRIMARY KEY, text TEXT, date INT, is_from_me INT)")
        now, versions, next_id = {}, set(), 1
        for commit in range(20):
            c.execute("BEGIN")
            for _ in range(200):
                v = ("message %d %s" % (next_id, "w" * random.randint(5, 120)), 600000000 + next_id,
                     next_id % 2)
                c.execute("INSERT INTO message VALUES(?,?,?,?)", (next_id,) + v)
                now[next_id] = v
                next_id += 1
            for k in random.sample(sorted(now), 40):
                v = ("edited %d in %d %s" % (k, commit, "e" * random.randint(0, 50)),) + now[k][1:]
                c.execute("UPDATE message SET text=? WHERE id=?", (v[0], k))
                now[k] = v
            for k in random.sample(sorted(now), 30):
                c.execute("DELETE FROM message WHERE id=?", (k,))
                del now[k]
            c.execute("COMMIT")
            versions.update((k,) + v for k, v in now.items())
        versions.difference_update((k,) + v for k, v in now.items())
        copy = os.path.join(work, "copy")
        os.makedirs(copy)
        shutil.copy(db, copy)
        shutil.copy(db + "-wal", copy)
        c.close()
        out = json.loads(subprocess.check_output([cli, "sqlite", os.path.join(copy, "sms.db"), "--json"]))
        table = next(t for t in out["tables"] if t["name"] == "message")
        live = sum(1 for r in table["rows"] if not r["deleted"])
        back = {tuple(r["values"]) for r in table["rows"] if r["deleted"]} & versions
        sources = {}
        for r in table["rows"]:
            if r["deleted"]:
                sources[r["source"]] = sources.get(r["source"], 0) + 1
        print("secure delete %s: live rows %d of %d; committed older versions %d, back %d (%.1f %%); "
              "deleted rows by source %s; log %s" % ("on" if secure else "off", live, len(now),
                                                      len(versions), len(back),
                                                      100.0 * len(back) / len(versions), sources,
                                                      out["wal"]))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
