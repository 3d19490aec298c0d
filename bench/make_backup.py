#!/usr/bin/env python3
"""Writes a large unencrypted iTunes/Finder backup folder for the scan and recover benchmarks.

The folder holds Info.plist, Manifest.plist, Status.plist, Manifest.db (the real Files table)
and the data files in the two-level layout (XX/<sha1 of domain-path>): an sms.db made by
make_sms_db.py (a fifth of its messages deleted; its key lies beside the folder) and media and
app files up to the given count: camera-roll photos and videos, photo-stream pictures, message
attachments, voice memos, app documents and app group media, each with a valid signature and
sizes spread around the given average.

    python3 bench/make_backup.py OUT_DIR [--files 100000] [--sms-mb 1024] [--avg-kb 19]
                                 [--seed N]

The defaults give the benchmark backup: 100,000 files with a 1 GB sms.db of about 1.2 million
messages, about 2.9 GB in all.
"""
import hashlib
import os
import random
import shutil
import sqlite3
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

HEAD = ('<?xml version="1.0" encoding="UTF-8"?>\n<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST '
        '1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n<plist version="1.0">\n'
        '<dict>\n')
TAIL = "</dict>\n</plist>\n"
DATE = "2024-05-01T10:20:30Z"

SIGNATURES = {
    "jpg": b"\xff\xd8\xff\xe0\x00\x10JFIF\x00",
    "png": b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR",
    "mov": b"\x00\x00\x00\x14ftypqt  ",
    "mp4": b"\x00\x00\x00\x18ftypmp42",
    "m4a": b"\x00\x00\x00\x18ftypM4A ",
    "gif": b"GIF89a",
    "pdf": b"%PDF-1.4\n",
}


def plist(entries):
    out = HEAD
    for key, value in entries:
        out += "\t<key>%s</key>\n" % key
        out += value if value.startswith("\t<") else "\t<string>%s</string>\n" % value
    return out + TAIL


def file_id(domain, path):
    return hashlib.sha1(("%s-%s" % (domain, path)).encode("utf-8")).hexdigest()


def media_files(count, rng):
    """(domain, relativePath, kind) for `count` files in the mix of a phone."""
    out = []
    for i in range(count):
        r = rng.random()
        if r < 0.45:
            ext = "JPG" if rng.random() < 0.85 else "PNG"
            out.append(("CameraRollDomain", "Media/DCIM/%03dAPPLE/IMG_%04d.%s" % (
                100 + i // 5000, i % 10000, ext), ext.lower()))
        elif r < 0.52:
            out.append(("CameraRollDomain", "Media/DCIM/%03dAPPLE/IMG_%04d.MOV" % (
                100 + i // 5000, i % 10000), "mov"))
        elif r < 0.62:
            out.append(("MediaDomain", "Media/PhotoStreamsData/1/%03dAPPLE/IMG_%05d.JPG" % (
                100 + i // 5000, i), "jpg"))
        elif r < 0.80:
            name = "IMG_%05d.jpeg" % i if rng.random() < 0.8 else "clip_%05d.mp4" % i
            out.append(("MediaDomain", "Library/SMS/Attachments/%02x/%02d/%08X/%s" % (
                i % 256, i % 16, i, name), "jpg" if name.endswith("jpeg") else "mp4"))
        elif r < 0.84:
            out.append(("MediaDomain", "Media/Recordings/2024%04d %06d.m4a" % (i % 1231, i),
                        "m4a"))
        elif r < 0.92:
            out.append(("AppDomainGroup-group.net.whatsapp.WhatsApp.shared",
                        "Message/Media/4477009%05d@s.whatsapp.net/%x/%x/%08x.jpg" % (
                            i % 100000, i % 16, i % 13, i), "jpg"))
        elif r < 0.96:
            out.append(("AppDomain-com.example.notes", "Documents/file_%06d.pdf" % i, "pdf"))
        else:
            out.append(("AppDomain-com.example.cache", "Library/Caches/blob_%06d.bin" % i,
                        "bin"))
    return out


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out = sys.argv[1]

    def opt(name, default):
        return int(sys.argv[sys.argv.index(name) + 1]) if name in sys.argv else default

    files, sms_mb = opt("--files", 100000), opt("--sms-mb", 1024)
    avg = opt("--avg-kb", 19) * 1024
    rng = random.Random(opt("--seed", 1))
    if os.path.exists(out):
        shutil.rmtree(out)
    os.makedirs(out)
    info = [("Build Version", "21E236"), ("Device Name", "Bench iPhone"),
            ("Display Name", "Bench iPhone"), ("GUID", "5A7BC1D2E3F40516A7B8C9D0E1F20314"),
            ("Installed Applications", "\t<array/>\n"),
            ("Last Backup Date", "\t<date>%s</date>\n" % DATE),
            ("Phone Number", "+44 7700 900001"), ("Product Name", "iPhone 13"),
            ("Product Type", "iPhone14,5"), ("Product Version", "17.4.1"),
            ("Serial Number", "F2LBENCH0001"), ("Target Type", "Device"),
            ("Unique Identifier", "00008110-000A1B2C3D4E5F60")]
    with open(os.path.join(out, "Info.plist"), "w", encoding="utf-8") as f:
        f.write(plist(info))
    with open(os.path.join(out, "Manifest.plist"), "w", encoding="utf-8") as f:
        f.write(plist([("Date", "\t<date>%s</date>\n" % DATE), ("IsEncrypted", "\t<false/>\n"),
                       ("Lockdown", "\t<dict>\n\t\t<key>ProductVersion</key>\n\t\t<string>"
                        "17.4.1</string>\n\t</dict>\n"), ("Version", "10.0")]))
    with open(os.path.join(out, "Status.plist"), "w", encoding="utf-8") as f:
        f.write(plist([("BackupState", "new"), ("Date", "\t<date>%s</date>\n" % DATE),
                       ("IsFullBackup", "\t<false/>\n"), ("SnapshotState", "finished"),
                       ("Version", "3.3")]))

    manifest = sqlite3.connect(os.path.join(out, "Manifest.db"), isolation_level=None)
    manifest.executescript(
        "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
        "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags "
        "INTEGER, file BLOB); CREATE INDEX FilesDomainIdx ON Files(domain);"
        "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
        "CREATE INDEX FilesFlagsIdx ON Files(flags);"
        "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB); BEGIN;")
    rows = []

    def place(domain, path):
        fid = file_id(domain, path)
        folder = os.path.join(out, fid[:2])
        os.makedirs(folder, exist_ok=True)
        rows.append((fid, domain, path, 1, b"bplist00"))
        return os.path.join(folder, fid)

    # The message database first: generated beside the backup, then moved into place.
    sms = place("HomeDomain", "Library/SMS/sms.db")
    key = out.rstrip("/") + "-sms.db"
    subprocess.run([sys.executable, os.path.join(HERE, "make_sms_db.py"), key, str(sms_mb)],
                   check=True)
    shutil.move(key, sms)  # the key (…-sms.db.deleted.jsonl) stays beside the folder
    total = os.path.getsize(sms)
    filler = bytes(rng.getrandbits(8) for _ in range(1 << 16))
    for domain, path, kind in media_files(files - 1, rng):
        size = max(200, int(rng.expovariate(1.0 / avg)))
        head = SIGNATURES.get(kind, b"")
        body = bytearray(head)
        while len(body) < size:
            start = rng.randrange(len(filler) - 4096)
            body += filler[start:start + min(size - len(body), 4096)]
        with open(place(domain, path), "wb") as f:
            f.write(body)
        total += size
    manifest.executemany("INSERT OR REPLACE INTO Files VALUES (?, ?, ?, ?, ?)", rows)
    manifest.execute("COMMIT")
    manifest.close()
    print("%s: %d files, %.2f GB" % (out, len(rows), total / 1e9))


if __name__ == "__main__":
    main()
