#!/usr/bin/env python3
"""Recover beside `cp -r`, and the pages it writes as a browser opens them.

    python3 bench/pages_bench.py BACKUP [--cli build-bench/bin/halvern-cli] [--work DIR]
                                 [--runs 1] [--no-convert] [--convert-video]

Prints the wall time of `halvern-cli recover BACKUP` (with its copies for browsers unless
--no-convert) and of `cp -r BACKUP`, their ratio, the number and size of the pages written (the
largest, and how many are over 5 MB), and the time headless Chromium takes to open the first
page of the largest conversation (until its last message is parsed, as the page itself measures
it, and Chromium's whole run).
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LIMIT = 5 << 20


def option(name, default):
    if name in sys.argv:
        return sys.argv[sys.argv.index(name) + 1]
    return default


def timed(command):
    start = time.monotonic()
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return time.monotonic() - start, run


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


SCRIPT = """<script>
(() => {
  // At the end of the page: every message parsed; milliseconds since the navigation began.
  const load = performance.now();
  const pre = document.createElement('pre');
  pre.id = 'halvern-timing';
  pre.textContent = JSON.stringify({load: load,
                                    messages: document.querySelectorAll('div.date').length});
  document.body.appendChild(pre);
})();
</script>"""


def open_in_chromium(page):
    with open(page, encoding="utf-8", errors="replace") as f:
        html = f.read()
    at = html.rfind("</body>")
    html = html[:at] + SCRIPT + html[at:] if at >= 0 else html + SCRIPT
    copy = os.path.join(os.path.dirname(page), "bench-" + os.path.basename(page))
    with open(copy, "w", encoding="utf-8") as f:
        f.write(html)
    profile = tempfile.mkdtemp(prefix="halvern-chromium-")
    try:
        seconds, run = timed(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                              "--disable-quic", "--no-first-run",
                              "--disable-background-networking", "--disable-component-update",
                              "--disable-sync", "--user-data-dir=" + profile,
                              "--dump-dom",
                              "file://" + os.path.abspath(copy)])
    finally:
        os.remove(copy)
        shutil.rmtree(profile, ignore_errors=True)
    found = re.search(r'<pre id="halvern-timing">(.*?)</pre>', run.stdout, re.S)
    timing = json.loads(found.group(1).replace("&quot;", '"')) if found else None
    return seconds, timing


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    values = {option(n, None) for n in ("--cli", "--work", "--runs")}
    args = [a for a in args if a not in values]
    if len(args) != 1:
        sys.exit(__doc__)
    backup = os.path.abspath(args[0])
    cli = os.path.abspath(option("--cli", "build-bench/bin/halvern-cli"))
    work = option("--work", "/tmp/halvern-pages-bench")
    runs = int(option("--runs", "1"))
    extra = [f for f in ("--no-convert", "--convert-video") if f in sys.argv]
    os.makedirs(work, exist_ok=True)
    out = os.path.join(work, "out")
    copy = os.path.join(work, "copy")

    ours, theirs, last = [], [], None
    for _ in range(runs):
        shutil.rmtree(out, ignore_errors=True)
        seconds, last = timed([cli, "recover", backup, "--to", out] + extra)
        ours.append(seconds)
        if _ + 1 < runs:
            shutil.rmtree(out, ignore_errors=True)
        shutil.rmtree(copy, ignore_errors=True)
        seconds, _run = timed(["cp", "-r", backup, copy])
        theirs.append(seconds)
        shutil.rmtree(copy, ignore_errors=True)
    print("recover %s: %.1f s, cp -r: %.1f s, ratio %.2f (exit status %d)" % (
        " ".join(extra) or "(copies for browsers)", median(ours), median(theirs),
        median(ours) / median(theirs), last.returncode))
    for line in last.stdout.splitlines():
        if "copies for browsers" in line or "failed:" in line or "files written" in line:
            print("  " + line.strip())

    pages = []
    for root, _dirs, files in os.walk(out):
        pages += [os.path.join(root, f) for f in files if f.endswith(".html")]
    sizes = sorted(((os.path.getsize(p), p) for p in pages), reverse=True)
    over = [p for s, p in sizes if s > LIMIT]
    print("pages: %d, largest %.2f MB (%s), over 5 MB: %d" % (
        len(sizes), sizes[0][0] / 1048576.0 if sizes else 0,
        os.path.relpath(sizes[0][1], out) if sizes else "-", len(over)))

    # The largest conversation by the index's counts, and its first page.
    with open(os.path.join(out, "index.html"), encoding="utf-8") as f:
        index = f.read()
    best = None
    for href, count in re.findall(
            r'<a href="([^"]+)">[^<]*</a> <span class="count">\((\d+) messages?', index):
        if best is None or int(count) > best[1]:
            best = (href, int(count))
    if best is None:
        print("no conversation page in the index")
        return
    from urllib.parse import unquote
    page = os.path.join(out, unquote(best[0]))
    seconds, timing = open_in_chromium(page)
    print("largest conversation: %d messages; its first page (%.2f MB) in Chromium: load event "
          "at %s ms, whole run %.2f s" % (
              best[1], os.path.getsize(page) / 1048576.0,
              "%.0f" % timing["load"] if timing else "?", seconds))
    if timing:
        print("  messages on that page: %d" % timing["messages"])


if __name__ == "__main__":
    main()
