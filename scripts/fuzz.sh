#!/usr/bin/env bash
# Builds the libFuzzer target of the SQLite reader with clang (outside the cmake build) into
# build-fuzz/, seeds it with the SQLite corpus and freshly made databases, runs it for a bounded
# time (default 60 s) and exits non-zero on a crash. Crash inputs are kept as regression inputs
# in tests/sqlite_recovery/fuzz-regressions/, which a normal test runs.
#   scripts/fuzz.sh [seconds]
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-fuzz
shared=${HALVERN_SHARED_DIR:-$root/../shared}
regressions=$root/tests/sqlite_recovery/fuzz-regressions
mkdir -p "$out/seeds" "$out/work" "$out/artifacts" "$regressions"
rm -f "$out"/artifacts/*

sources=("$root"/sqlite_recovery/*.cpp "$root"/tests/sqlite_recovery/fuzz_sqlite.cpp)
for extra in "$root"/tests/sqlite_recovery/fuzz_*_hook.cpp; do
  [ -e "$extra" ] && sources+=("$extra")
done
echo "fuzz: building $out/fuzz_sqlite"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" "${sources[@]}" -o "$out/fuzz_sqlite"

# Seeds: the corpus databases, then small databases made by SQLite with deleted rows.
if [ -d "$shared/sqlite-corpus/v1.0" ]; then
  find "$shared/sqlite-corpus/v1.0" -name '*.db' -size -200k -exec cp {} "$out/seeds/" \;
fi
if command -v python3 >/dev/null; then
  python3 - "$out/seeds" <<'PY'
import sqlite3, sys, os
d = sys.argv[1]
for ps, enc in ((512, 'UTF-8'), (1024, 'UTF-16le'), (4096, 'UTF-8')):
    p = os.path.join(d, f'made-{ps}-{enc}.db')
    if os.path.exists(p):
        os.remove(p)
    c = sqlite3.connect(p)
    c.execute('PRAGMA secure_delete=OFF')
    c.execute(f'PRAGMA page_size={ps}')
    c.execute(f"PRAGMA encoding='{enc}'")
    c.execute('CREATE TABLE message(ROWID INTEGER PRIMARY KEY, text TEXT, handle_id INT, date INT, b BLOB, r REAL)')
    c.execute('CREATE TABLE handle(ROWID INTEGER PRIMARY KEY, id TEXT)')
    for i in range(60):
        c.execute('INSERT INTO message VALUES(?,?,?,?,?,?)', (i, 'text %d' % i * (1 + i % 5), i % 7, 500000000 + i, b'\x01' * (i * 30), i / 3))
        c.execute('INSERT INTO handle VALUES(?,?)', (i, '+4930%07d' % i))
    c.commit()
    c.execute('DELETE FROM message WHERE ROWID % 3 = 0')
    c.execute('DROP TABLE handle')
    c.commit()
    c.close()
PY
fi

echo "fuzz: running for ${seconds}s"
set +e
"$out/fuzz_sqlite" "$out/work" "$out/seeds" -max_total_time="$seconds" -max_len=131072 \
  -rss_limit_mb=4096 -timeout=20 -artifact_prefix="$out/artifacts/" -print_final_stats=1 \
  2>&1 | tee "$out/fuzz.log" | grep -E "^#[0-9]+ +(DONE|INITED)|stat::number_of_executed_units|ERROR|SUMMARY" 
status=${PIPESTATUS[0]}
set -e
crashes=0
for f in "$out"/artifacts/crash-* "$out"/artifacts/leak-* "$out"/artifacts/timeout-* "$out"/artifacts/oom-*; do
  [ -e "$f" ] || continue
  cp "$f" "$regressions/"
  crashes=$((crashes + 1))
done
echo "fuzz: exit status $status, $crashes crash input(s) kept in $regressions"
if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then exit 1; fi
