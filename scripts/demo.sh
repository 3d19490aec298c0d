#!/usr/bin/env bash
# Sets up a fresh machine, builds Halvern, writes the demo backups and runs the main job on them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
DEMO=${DEMO_DIR:-$PWD/build/demo}
rm -rf "$DEMO"
build/bin/make-sample-backup "$DEMO" >/dev/null
export XDG_DATA_HOME="$DEMO"
echo "== halvern-cli list"
build/bin/halvern-cli list
# The current phone: every database, deleted rows, photos.
BACKUP="$DEMO/Apple Computer/MobileSync/Backup/00008101-000A3C2E1E90001E"
echo "== halvern-cli info"
build/bin/halvern-cli info "$BACKUP"
echo "== halvern-cli files"
build/bin/halvern-cli files "$BACKUP"
echo "== halvern-cli recover"
OUT=$PWD/build/demo-recovered
rm -rf "$OUT"
build/bin/halvern-cli recover "$BACKUP" --to "$OUT"
echo
echo "Recovered demo backup: open $OUT/index.html in a browser."
