#!/usr/bin/env python3
"""Writes an sms.db-like database of about a given size, with a fifth of its messages deleted.

The tables are those of a real sms.db (tests/data/ios-schemas/sms_all_ios11.sql): handles,
chats, messages with typedstream-like attributedBody blobs, the join tables and attachments.
Texts are varied chat lines (some long enough to need overflow pages, some with emoji). After
the inserts a random fifth of the messages (and their join rows) is deleted, as the phone does
(secure_delete off). A key file beside the database lists every deleted message, one JSON
object a line: {"guid": ..., "text": ..., "date": ...}, for scoring what a reader brings back.

    python3 bench/make_sms_db.py OUT.db SIZE_MB [--seed N]

Prints the number of messages written and deleted. OUT.db.deleted.jsonl is the key.
"""
import json
import os
import random
import re
import sqlite3
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA = os.path.join(HERE, "..", "tests", "data", "ios-schemas", "sms_all_ios11.sql")

WORDS = (
    "ok see you tomorrow at the station thanks love call me later running late can we meet "
    "for lunch today did you get my message the train is delayed again happy birthday sure "
    "no problem where are you now just landed will be home around seven bring the keys "
    "please what time does it start sounds good to me haha yes maybe next week sorry I missed "
    "your call on my way dinner is ready don't forget the milk how was the meeting great news "
    "I'll send the photos later"
).split()
EMOJI = ["\U0001F600", "\U0001F44D", "\u2764\ufe0f", "\U0001F602", "\U0001F389", "\U0001F697"]
SERVICES = ["iMessage", "SMS"]


def schema_statements():
    text = open(SCHEMA, encoding="utf-8").read()
    text = "\n".join(line for line in text.splitlines() if not line.lstrip().startswith("--"))
    return [s.strip() for s in text.split(";") if s.strip().upper().startswith("CREATE TABLE")]


def chat_text(rng):
    r = rng.random()
    if r < 0.02:
        n = rng.randint(300, 900)  # a long message: with its blob it overflows a 4 KiB page
    elif r < 0.3:
        n = rng.randint(20, 60)
    else:
        n = rng.randint(3, 16)
    words = [rng.choice(WORDS) for _ in range(n)]
    if rng.random() < 0.15:
        words.append(rng.choice(EMOJI))
    s = " ".join(words)
    return s[0].upper() + s[1:]


def attributed_body(text):
    # The shape of an NSAttributedString archive: class names, the string, one attribute run.
    raw = text.encode("utf-8")
    length = bytes([len(raw)]) if len(raw) < 0x81 else b"\x81" + len(raw).to_bytes(2, "little")
    return (b"\x04\x0bstreamtyped\x81\xe8\x03\x84\x01@\x84\x84\x84\x12NSAttributedString\x00"
            b"\x84\x84\x08NSObject\x00\x85\x92\x84\x84\x84\x08NSString\x01\x94\x84\x01+" + length +
            raw + b"\x86\x84\x02iI\x01" + bytes([min(len(text), 255)]) +
            b"\x92\x84\x84\x84\x0cNSDictionary\x00\x94\x84\x01i\x01\x92\x84\x96\x96\x1d"
            b"__kIMMessagePartAttributeName\x86\x92\x84\x84\x84\x08NSNumber\x00\x84\x84\x07"
            b"NSValue\x00\x94\x84\x01*\x84\x99\x99\x00\x86\x86\x86")


def guid(rng):
    return "%08X-%04X-%04X-%04X-%012X" % (rng.getrandbits(32), rng.getrandbits(16),
                                          rng.getrandbits(16), rng.getrandbits(16),
                                          rng.getrandbits(48))


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    out, size_mb = sys.argv[1], int(sys.argv[2])
    seed = int(sys.argv[sys.argv.index("--seed") + 1]) if "--seed" in sys.argv else 1
    rng = random.Random(seed)
    for p in (out, out + "-wal", out + "-journal"):
        if os.path.exists(p):
            os.remove(p)
    db = sqlite3.connect(out, isolation_level=None)
    db.execute("PRAGMA page_size=4096")
    db.execute("PRAGMA journal_mode=OFF")
    db.execute("PRAGMA synchronous=OFF")
    db.execute("PRAGMA secure_delete=OFF")
    db.execute("PRAGMA cache_size=-200000")
    for s in schema_statements():
        db.execute(s)
    db.execute("BEGIN")
    db.execute("INSERT INTO _SqliteDatabaseProperties VALUES ('counter_in_all', '0')")
    handles = []
    for h in range(1, 401):
        number = "+4477009%05d" % (h * 211 % 100000)
        service = SERVICES[h % 2]
        db.execute("INSERT INTO handle (ROWID, id, country, service, uncanonicalized_id) "
                   "VALUES (?, ?, 'gb', ?, ?)", (h, number, service, number))
        handles.append((h, number, service))
    for c, (h, number, service) in enumerate(handles, 1):
        db.execute("INSERT INTO chat (ROWID, guid, style, state, account_id, chat_identifier, "
                   "service_name, account_login, is_archived, last_addressed_handle) VALUES "
                   "(?, ?, 45, 3, ?, ?, ?, 'E:me@example.com', 0, '+447700900001')",
                   (c, "%s;-;%s" % (service, number), guid(rng), number, service))
        db.execute("INSERT INTO chat_handle_join VALUES (?, ?)", (c, h))
    target = size_mb << 20
    account_guid = guid(rng)
    date = 600000000 * 10**9  # nanoseconds since 2001-01-01
    rowid = 0
    attachment = 0
    while True:
        batch, joins, atts, att_joins = [], [], [], []
        for _ in range(5000):
            rowid += 1
            h, number, service = handles[rng.randrange(len(handles))]
            text = chat_text(rng)
            date += rng.randint(1, 60) * 10**9  # twelve years for 12 million messages
            from_me = rng.random() < 0.45
            has_att = rng.random() < 0.03
            batch.append((rowid, guid(rng), text, h, attributed_body(text), service,
                          "E:me@example.com" if service == "iMessage" else "P:+447700900001",
                          account_guid, date, 0 if from_me else date + 30 * 10**9,
                          date + 2 * 10**9, 1, 1, int(from_me), int(not from_me), int(from_me),
                          int(has_att), "+447700900001"))
            joins.append((h, rowid, date))
            if has_att:
                attachment += 1
                name = "IMG_%04d.JPG" % (attachment % 10000)
                atts.append((attachment, guid(rng), date // 10**9, date // 10**9,
                             "~/Library/SMS/Attachments/%02x/%02d/%s/%s" % (
                                 attachment % 256, attachment % 16, guid(rng), name),
                             "public.jpeg", "image/jpeg", 5, int(from_me), name,
                             rng.randint(40000, 4000000), guid(rng)))
                att_joins.append((rowid, attachment))
        db.executemany(
            "INSERT INTO message (ROWID, guid, text, handle_id, attributedBody, service, account,"
            " account_guid, date, date_read, date_delivered, is_delivered, is_finished,"
            " is_from_me, is_read, is_sent, cache_has_attachments, destination_caller_id)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", batch)
        db.executemany("INSERT INTO chat_message_join VALUES (?, ?, ?)", joins)
        db.executemany(
            "INSERT INTO attachment (ROWID, guid, created_date, start_date, filename, uti,"
            " mime_type, transfer_state, is_outgoing, transfer_name, total_bytes, original_guid)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", atts)
        db.executemany("INSERT INTO message_attachment_join VALUES (?, ?)", att_joins)
        db.execute("COMMIT")
        # The deletions free about a fifth of the pages' bytes; they stay in the file.
        if os.path.getsize(out) >= target:
            break
        db.execute("BEGIN")
    deleted = sorted(rng.sample(range(1, rowid + 1), rowid // 5))
    with open(out + ".deleted.jsonl", "w", encoding="utf-8") as key:
        for i in range(0, len(deleted), 10000):
            part = deleted[i:i + 10000]
            marks = ",".join("?" * len(part))
            for g, text, d in db.execute(
                    "SELECT guid, text, date FROM message WHERE ROWID IN (%s)" % marks, part):
                key.write(json.dumps({"guid": g, "text": text, "date": d}) + "\n")
    db.execute("BEGIN")
    for i in range(0, len(deleted), 10000):
        part = deleted[i:i + 10000]
        marks = ",".join("?" * len(part))
        db.execute("DELETE FROM message_attachment_join WHERE message_id IN (%s)" % marks, part)
        db.execute("DELETE FROM chat_message_join WHERE message_id IN (%s)" % marks, part)
        db.execute("DELETE FROM message WHERE ROWID IN (%s)" % marks, part)
    db.execute("COMMIT")
    db.close()
    print("%s: %d messages, %d deleted, %.1f MB" % (out, rowid, len(deleted),
                                                   os.path.getsize(out) / 2**20))


if __name__ == "__main__":
    main()
