#!/usr/bin/env bash
# Tests the Debian package that scripts/package.sh made: unpacks it into a temporary root
# (dpkg -x), runs that copy of halvern-cli on the demo backups (scan, recover, an encrypted
# one through the packaged `tool`), checks that it used the packaged runtime files and wrote
# nothing into the package's tree, and runs the validators (desktop entry, metainfo,
# lintian, manual pages, bash completion). The demo backups come from build/bin (scripts/build.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
DEB=$(ls build-package/halvern_*.deb 2>/dev/null | head -1)
[ -n "$DEB" ] || { echo "test-package: no build-package/halvern_*.deb; run scripts/package.sh" >&2; exit 1; }
if [ ! -x build/bin/make-sample-backup ]; then
  [ -f build/build.ninja ] || { echo "test-package: no build/; run scripts/build.sh" >&2; exit 1; }
  cmake --build build --target make-sample-backup >/dev/null
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
ROOT=$WORK/root
fails=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@" >"$WORK/out" 2>&1; then echo "ok:   $what"; else
    echo "FAIL: $what"; sed 's/^/      /' "$WORK/out" | tail -20; fails=$((fails + 1)); fi
}
contains() { grep -q -- "$2" "$1"; }

dpkg -x "$DEB" "$ROOT"
dpkg-deb -e "$DEB" "$WORK/control"
VERSION=$(dpkg-deb -f "$DEB" Version)

# The layout.
for f in usr/bin/halvern usr/bin/halvern-cli usr/lib/halvern/tool usr/lib/halvern/Player \
    usr/lib/halvern/Player1 usr/lib/halvern/libhalvern-media.so usr/share/halvern/config.ini usr/share/halvern/Languages/English.ini \
    usr/share/halvern/Languages/Deutsch.ini usr/share/halvern/template/Sms.html \
    usr/share/applications/org.halvern.Halvern.desktop \
    usr/share/metainfo/org.halvern.Halvern.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/org.halvern.Halvern.svg \
    usr/share/icons/hicolor/48x48/apps/org.halvern.Halvern.png \
    usr/share/icons/hicolor/256x256/apps/org.halvern.Halvern.png \
    usr/share/man/man1/halvern.1.gz usr/share/man/man1/halvern-cli.1.gz \
    usr/share/bash-completion/completions/halvern-cli usr/share/doc/halvern/copyright; do
  [ -e "$ROOT/$f" ] || { echo "FAIL: missing /$f"; fails=$((fails + 1)); }
done
check "every library of the programs resolves" \
  bash -c "! ldd '$ROOT'/usr/bin/* '$ROOT'/usr/lib/halvern/* | grep 'not found'"
check "depends on the GStreamer plug-ins" contains "$WORK/control/control" "gstreamer1.0-plugins-good"

# Run the unpacked copy with nothing of the build in reach.
export XDG_DATA_HOME=$WORK/data XDG_CONFIG_HOME=$WORK/config HOME=$WORK/home
unset HALVERN_TOOL
mkdir -p "$HOME"
build/bin/make-sample-backup "$XDG_DATA_HOME" --encrypted demo-pass >/dev/null
BACKUPS="$XDG_DATA_HOME/Apple Computer/MobileSync/Backup"
CLI=$ROOT/usr/bin/halvern-cli
(cd "$ROOT" && find . -type f -print0 | sort -z | xargs -0 md5sum) > "$WORK/tree.md5"

check "--version names the package's version" bash -c "'$CLI' --version | grep -F '$VERSION'"
check "scan of the demo backup" bash -c "'$CLI' scan '$BACKUPS/00008101-000A3C2E1E90001E' > '$WORK/scan.txt'"
check "scan found messages" bash -c "grep -E '^Messages +[1-9]' '$WORK/scan.txt'"
# A marker in the packaged templates shows up in the pages when those templates were used.
for t in "$ROOT"/usr/share/halvern/template/*.html; do echo "<!-- packaged-template -->" >> "$t"; done
check "recover of the demo backup" "$CLI" recover "$BACKUPS/00008101-000A3C2E1E90001E" --to "$WORK/out-plain"
check "the pages come from /usr/share/halvern/template" \
  bash -c "grep -rl 'packaged-template' '$WORK/out-plain' | grep -q ."
check "recover of the encrypted demo backup through /usr/lib/halvern/tool" \
  bash -c "printf 'demo-pass\n' | '$CLI' recover '$BACKUPS/00008101-000A3C2E1E90001E-encrypted' --to '$WORK/out-enc' --password-stdin"
check "the encrypted backup's messages were recovered" \
  bash -c "diff <(cd '$WORK/out-plain' && find . -name '*.txt' | sed 's/-[0-9]\{14\}//' | sort) \
                <(cd '$WORK/out-enc' && find . -name '*.txt' | sed 's/-[0-9]\{14\}//' | sort) &&
           [ -n \"\$(cd '$WORK/out-enc' && find . -name '*.txt')\" ]"
check "language shows the packaged config.ini" bash -c "'$CLI' language | grep -F '$ROOT/usr/share/halvern/config.ini'"
check "language Deutsch is saved in the user's config.ini" "$CLI" language Deutsch
check "the user's config.ini was made from the default" \
  bash -c "grep -q '^Default=Deutsch' '$XDG_CONFIG_HOME/halvern/config.ini' && grep -q '^\[Links\]' '$XDG_CONFIG_HOME/halvern/config.ini'"
check "language now reads the user's config.ini" bash -c "'$CLI' language | grep -x Deutsch"
check "nothing in the package's tree was written (templates marked by this test aside)" \
  bash -c "cd '$ROOT' && md5sum --quiet -c '$WORK/tree.md5' 2>/dev/null | grep -v '/template/' | (! grep .) && [ \"\$(find . -type f | wc -l)\" = \"\$(wc -l < '$WORK/tree.md5')\" ]"

# Validators and documentation.
check "desktop-file-validate" desktop-file-validate "$ROOT"/usr/share/applications/*.desktop
check "appstreamcli validate" appstreamcli validate --no-net "$ROOT"/usr/share/metainfo/*.xml
check "lintian: no errors" lintian --fail-on error "$DEB"
for page in halvern halvern-cli; do
  check "man $page renders without warnings" bash -c \
    "LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l '$ROOT/usr/share/man/man1/$page.1.gz' 2>&1 >/dev/null | (! grep .)"
done
check "the manual names every command and option of halvern-cli" bash -c '
  page=$(zcat "'"$ROOT"'/usr/share/man/man1/halvern-cli.1.gz" | sed "s/\\\\-/-/g")
  for w in $(sed -n "s/^ *{\"\([a-z]*\)\",.*/\1/p" cli/commands.cpp) \
           $(grep -oh "\"--[a-z-]*\"" cli/*.cpp | tr -d "\"" | sort -u); do
    grep -q -- "$w" <<<"$page" || { echo "not in the manual: $w"; exit 1; }
  done'
check "bash completion of commands and options" bash -c "
  source /usr/share/bash-completion/bash_completion
  source '$ROOT/usr/share/bash-completion/completions/halvern-cli'
  completes() {  # completes LINE EXPECTED: the words offered at the end of LINE
    COMP_LINE=\$1; COMP_POINT=\${#1}; read -ra COMP_WORDS <<<\"\$1\"; COMP_CWORD=\$((\${#COMP_WORDS[@]} - 1))
    COMPREPLY=(); _halvern_cli
    [ \"\${COMPREPLY[*]}\" = \"\$2\" ] || { echo \"\$1: got '\${COMPREPLY[*]}', want '\$2'\"; exit 1; }
  }
  completes 'halvern-cli rec' recover
  completes 'halvern-cli recover --del' --deleted-only
  completes 'halvern-cli recover --only messages,wh' 'messages,whatsapp messages,whatsapp-attachments'
  completes 'halvern-cli device b' backup"

if [ "$fails" -ne 0 ]; then echo "test-package: $fails check(s) failed"; exit 1; fi
echo "test-package: all checks passed for $(basename "$DEB")"
