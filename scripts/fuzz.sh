#!/usr/bin/env bash
# Fuzzes the SQLite reader with libFuzzer. Builds two targets with clang (outside the cmake
# build) into build-fuzz/:
#   fuzz_sqlite       the bytes are a whole database file (reader, scan driver, carving, dump)
#   fuzz_sqlite_page  the bytes are one b-tree page (page parser, cells, records, carving)
# seeds them from the forensic corpus in tests/data and from freshly made databases, runs both
# side by side for a bounded time and exits non-zero on a crash. Crash inputs are kept as
# regression inputs in tests/sqlite_recovery/fuzz-regressions/, which sqlite_reader_test runs
# through both targets. The work corpora in build-fuzz/ carry over from one run to the next.
#   scripts/fuzz.sh [SECONDS]     default 60 (the short run of scripts/test.sh)
#   scripts/fuzz.sh 3600          a campaign of an hour
#   scripts/fuzz.sh slowest [N]   no fuzzing: times every input of the work corpora once and
#                                 lists the N slowest (default 10) of each target, slowest first
#                                 (candidates for slow-*-* regression inputs)
# FUZZ_NICE=N runs the fuzzers under `nice -n N`.
set -euo pipefail
seconds=${1:-60}
slowest=
if [ "$seconds" = slowest ]; then
  slowest=${2:-10}
  seconds=0
fi
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-fuzz
corpus=$root/tests/data/sqlite-corpus/v1.0
regressions=$root/tests/sqlite_recovery/fuzz-regressions
targets=(fuzz_sqlite fuzz_sqlite_page)
mkdir -p "$out/obj" "$out/bin" "$regressions"
for t in "${targets[@]}"; do
  mkdir -p "$out/$t/seeds" "$out/$t/work" "$out/$t/artifacts"
  rm -f "$out/$t"/artifacts/*
done
if [ ! -d "$corpus" ]; then
  echo "fuzz: missing seed corpus $corpus" >&2
  exit 1
fi

# Build: every object once (again only when its source or a header changed), two links.
flags=(-std=c++20 -O2 -g -fsanitize=fuzzer-no-link,address,undefined
  -fno-sanitize-recover=undefined -I"$root")
compiler=clang++
if command -v ccache >/dev/null; then compiler="ccache clang++"; fi
newest_header=$(find "$root/sqlite_recovery" -name '*.h' -printf '%T@\n' | sort -n | tail -1)
objects=()
echo "fuzz: building $out/bin/fuzz_sqlite and $out/bin/fuzz_sqlite_page"
build_object() {
  local src=$1 obj=$out/obj/$(basename "${1%.cpp}").o
  if [ ! -e "$obj" ] || [ "$src" -nt "$obj" ] ||
     awk -v h="$newest_header" -v o="$(stat -c %Y "$obj")" 'BEGIN { exit !(h > o) }'; then
    $compiler "${flags[@]}" -c "$src" -o "$obj"
  fi
  objects+=("$obj")
}
for src in "$root"/sqlite_recovery/*.cpp; do build_object "$src"; done
for extra in "$root"/tests/sqlite_recovery/fuzz_*_hook.cpp; do
  [ -e "$extra" ] && build_object "$extra"
done
library=("${objects[@]}")
for t in "${targets[@]}"; do
  objects=()
  build_object "$root/tests/sqlite_recovery/$t.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "${library[@]}" "${objects[@]}" -o "$out/bin/$t"
done

if [ -n "$slowest" ]; then
  for t in "${targets[@]}"; do
    echo "fuzz: $t: the $slowest slowest of $(ls "$out/$t/work" | wc -l) corpus inputs (ms, file)"
    find "$out/$t/work" -type f -print0 |
      xargs -0 -n 200 "$out/bin/$t" -runs=1 2>&1 |
      sed -n 's/^Executed \(.*\) in \([0-9]*\) ms$/\2 \1/p' | sort -rn | awk -v n="$slowest" 'NR <= n'
  done
  exit 0
fi

# Seeds, all small so that each execution is cheap: the corpus databases rebuilt with 512- and
# 1024-byte pages and then deleted from (their odd names, encodings and structures, with
# deleted records in the free space), and small databases made with deleted rows and a dropped
# table, for the file target; every b-tree page of those, with the 4 leading bytes that
# describe it, for the page target.
rm -f "$out"/fuzz_sqlite/seeds/* "$out"/fuzz_sqlite_page/seeds/*
python3 - "$corpus" "$out/fuzz_sqlite/seeds" "$out/fuzz_sqlite_page/seeds" <<'PY'
import os, shutil, sqlite3, sys
corpus, files, pages = sys.argv[1:4]
for folder in sorted(os.listdir(corpus)):
    if not os.path.isdir(os.path.join(corpus, folder)):
        continue
    for name in sorted(os.listdir(os.path.join(corpus, folder))):
        if not name.endswith('.db'):
            continue
        size = 512 if len(os.listdir(files)) % 2 == 0 else 1024
        p = os.path.join(files, f'{name[:-3]}-{size}.db')
        shutil.copy(os.path.join(corpus, folder, name), p)
        os.chmod(p, 0o644)
        try:
            c = sqlite3.connect(p)
            c.execute('PRAGMA secure_delete=OFF')
            c.execute(f'PRAGMA page_size={size}')
            c.execute('VACUUM')
            tables = [r[0] for r in c.execute("SELECT name FROM sqlite_master WHERE type='table'")]
            for t in tables:
                try:
                    c.execute('DELETE FROM "%s" WHERE rowid %% 3 = 1' % t.replace('"', '""'))
                except sqlite3.Error:
                    pass
            c.commit()
            c.close()
        except sqlite3.Error:
            shutil.copy(os.path.join(corpus, folder, name), p)  # as it is, when SQLite refuses
        if os.path.getsize(p) > 8192 * 2:
            os.remove(p)
for ps, enc in ((512, 'UTF-8'), (1024, 'UTF-16le'), (512, 'UTF-16be'), (1024, 'UTF-8')):
    p = os.path.join(files, f'made-{ps}-{enc}.db')
    c = sqlite3.connect(p)
    c.execute('PRAGMA secure_delete=OFF')
    c.execute(f'PRAGMA page_size={ps}')
    c.execute(f"PRAGMA encoding='{enc}'")
    c.execute('CREATE TABLE message(ROWID INTEGER PRIMARY KEY, text TEXT, handle_id INT, date INT, b BLOB, r REAL)')
    c.execute('CREATE TABLE handle(ROWID INTEGER PRIMARY KEY, id TEXT)')
    for i in range(30):
        c.execute('INSERT INTO message VALUES(?,?,?,?,?,?)', (i, 'text %d' % i * (1 + i % 5), i % 7, 500000000 + i, b'\x01' * (i * 30), i / 3))
        c.execute('INSERT INTO handle VALUES(?,?)', (i, '+4930%07d' % i))
    c.commit()
    c.execute('DELETE FROM message WHERE ROWID % 3 = 0')
    c.execute('DROP TABLE handle')
    c.commit()
    c.close()
encodings = {1: 0, 2: 1, 3: 2}
for name in sorted(os.listdir(files)):
    data = open(os.path.join(files, name), 'rb').read()
    if len(data) < 512 or not data.startswith(b'SQLite format 3\0'):
        continue
    size = int.from_bytes(data[16:18], 'big')
    if size not in (512, 1024):
        continue
    code = size.bit_length() - 10  # 512 << code == size
    reserved = data[20]
    encoding = encodings.get(int.from_bytes(data[56:60], 'big'), 0)
    for n in range(len(data) // size):
        page = data[n * size:(n + 1) * size]
        if page[100 if n == 0 else 0] not in (2, 5, 10, 13):
            continue
        flags = (1 if n == 0 else (min(n - 1, 15) << 4)) | (encoding << 1)
        with open(os.path.join(pages, f'{name}-{n + 1}'), 'wb') as f:
            f.write(bytes([code, reserved, 5, flags]) + page)
PY
echo "fuzz: $(ls "$out/fuzz_sqlite/seeds" | wc -l) file seeds, $(ls "$out/fuzz_sqlite_page/seeds" | wc -l) page seeds"

echo "fuzz: running both targets for ${seconds}s"
# Each target's processor time goes to $t.cpu, so that its executions per second of processor
# time can be told apart from a busy machine's wall-clock rate.
run() {
  local t=$1 max_len=$2 TIMEFORMAT='%U %S'
  shift 2
  { time ${FUZZ_NICE:+nice -n "$FUZZ_NICE"} "$out/bin/$t" "$out/$t/work" "$out/$t/seeds" "$@" \
    -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="$out/$t/artifacts/" -print_final_stats=1 >"$out/$t.log" 2>&1; } \
    2>"$out/$t.cpu"
}
set +e
# The file target's many features make the entropic schedule's bookkeeping a fifth of its
# time; the plain schedule runs it about 1.7 times as fast.
run fuzz_sqlite 8192 -entropic=0 &
file_pid=$!
run fuzz_sqlite_page 1028 &
page_pid=$!
wait "$file_pid"
file_status=$?
wait "$page_pid"
page_status=$?
set -e

status=0
for t in "${targets[@]}"; do
  [ "$t" = fuzz_sqlite ] && s=$file_status || s=$page_status
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t.log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/$t.log" | tail -1)
  crashes=0
  for f in "$out/$t"/artifacts/*; do
    [ -e "$f" ] || continue
    cp "$f" "$regressions/${t#fuzz_}-$(basename "$f")"
    crashes=$((crashes + 1))
  done
  cpu=$(awk '{ printf "%.1f", $1 + $2 }' "$out/$t.cpu" 2>/dev/null || true)
  per_cpu=$(awk -v n="${runs:-0}" -v c="${cpu:-0}" 'BEGIN { if (c > 0) printf "%d", n / c; else print "?" }')
  echo "fuzz: $t: ${runs:-?} executions, ${rate:-?}/s wall clock, ${per_cpu}/s of processor" \
    "time (${cpu:-?} s), exit status $s, $crashes crash input(s)"
  grep -E "^(==[0-9]+==ERROR|SUMMARY)" "$out/$t.log" | head -5 || true
  if [ "$s" -ne 0 ] || [ "$crashes" -ne 0 ]; then status=1; fi
done
[ "$status" -eq 0 ] || echo "fuzz: crash inputs kept in $regressions; logs in $out/*.log"
exit $status
