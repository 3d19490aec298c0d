#!/usr/bin/env bash
# Builds the Debian package build-package/halvern_<version>_<arch>.deb: a Release build without
# sanitizers (hardened), installed into a staging root with the layout of packaging/CMakeLists.txt,
# with its dependencies computed from the binaries (dpkg-shlibdeps) plus the plug-ins the
# programs load at run time. Then checks it with lintian, desktop-file-validate and
# appstreamcli. Run scripts/install-deps.sh first (the README's commands do).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=build-package
STAGE=$BUILD_DIR/stage

# Packaging tools (Debian packages), installed when missing.
TOOLS=(dpkg-dev desktop-file-utils appstream lintian librsvg2-bin bash-completion)
missing=()
for p in "${TOOLS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "package: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

echo "package: building (Release, no sanitizers) in $BUILD_DIR/"
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVERN_SANITIZE=OFF \
  -DHALVERN_TESTS=OFF -DHALVERN_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr \
  "-DCMAKE_CXX_FLAGS=-fstack-protector-strong -D_FORTIFY_SOURCE=2 -Wformat" \
  "-DCMAKE_C_FLAGS=-fstack-protector-strong -D_FORTIFY_SOURCE=2 -Wformat" \
  "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,relro -Wl,-z,now" >/dev/null
nice cmake --build "$BUILD_DIR" -j"$(nproc)"

VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")
ARCH=$(dpkg --print-architecture)
DEB=$BUILD_DIR/halvern_${VERSION}_${ARCH}.deb
MAINTAINER="Halvern developers <dev@halvern.org>"

echo "package: staging /usr in $STAGE/"
rm -rf "$STAGE"
DESTDIR="$PWD/$STAGE" cmake --install "$BUILD_DIR" --strip >/dev/null
DOC=$STAGE/usr/share/doc/halvern
install -m 644 packaging/copyright "$DOC/copyright"
install -D -m 644 packaging/halvern.lintian-overrides "$STAGE/usr/share/lintian/overrides/halvern"
{
  echo "halvern ($VERSION) unstable; urgency=medium"
  echo
  echo "  * Release $VERSION."
  echo
  echo " -- $MAINTAINER  $(date -R -u -d "@${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}")"
} | gzip -9n > "$DOC/changelog.gz"
gzip -9n "$STAGE"/usr/share/man/man1/*.1
# Files 0644, folders and programs 0755, whatever the umask of the build.
find "$STAGE" -type d -exec chmod 755 {} +
find "$STAGE" -type f -exec chmod 644 {} +
chmod 755 "$STAGE"/usr/bin/* "$STAGE"/usr/lib/halvern/*

# Dependencies of the binaries; dpkg-shlibdeps reads a debian/control, so it runs in a
# folder of its own.
SHLIB_DIR=$BUILD_DIR/shlibdeps
rm -rf "$SHLIB_DIR"; mkdir -p "$SHLIB_DIR/debian"
printf 'Source: halvern\n\nPackage: halvern\nArchitecture: any\n' > "$SHLIB_DIR/debian/control"
ELF=()
for f in "$STAGE"/usr/bin/* "$STAGE"/usr/lib/halvern/*; do ELF+=("$PWD/$f"); done
SHLIBS=$(cd "$SHLIB_DIR" && dpkg-shlibdeps -O "${ELF[@]}" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$SHLIBS" ] || { echo "package: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
# Loaded at run time, so not seen in the binaries: the SVG image plug-in (the skin), the web
# engine's helper process (print window) and the GStreamer plug-ins (the players).
DEPENDS=$SHLIBS
for dep in libqt6svg6 libqt6webenginecore6-bin gstreamer1.0-plugins-base gstreamer1.0-plugins-good; do
  grep -qE "(^|, )$dep( |,|$)" <<<"$SHLIBS" || DEPENDS="$DEPENDS, $dep"
done

mkdir -p "$STAGE/DEBIAN"
cat > "$STAGE/DEBIAN/control" <<CONTROL
Package: halvern
Version: $VERSION
Architecture: $ARCH
Maintainer: $MAINTAINER
Installed-Size: $(du -sk --exclude=DEBIAN "$STAGE" | cut -f1)
Depends: $DEPENDS
Recommends: usbmuxd, fonts-noto-color-emoji, qt6-translations-l10n
Section: utils
Priority: optional
Homepage: https://halvern.org/
Description: recover data from iPhone backups and attached iPhones
 Halvern reads the backups that iTunes and Finder make of an iPhone, plain or
 encrypted, or makes a fresh backup of an attached phone, and gets back
 messages and their attachments, contacts, call history, notes, WhatsApp
 chats, the camera roll and the files of apps. Its own SQLite file reader also
 brings back deleted rows. The chosen items are written into a folder of HTML,
 CSV and text files, or printed.
 .
 This package holds the desktop program halvern and the command line
 halvern-cli.
CONTROL
(cd "$STAGE" && find usr -type f -print0 | sort -z | xargs -0 md5sum) > "$STAGE/DEBIAN/md5sums"
chmod 644 "$STAGE/DEBIAN/control" "$STAGE/DEBIAN/md5sums"

rm -f "$BUILD_DIR"/halvern_*.deb
dpkg-deb --root-owner-group -Zxz --build "$STAGE" "$DEB" >/dev/null
echo "package: $DEB"

echo "package: checking"
desktop-file-validate "$STAGE"/usr/share/applications/*.desktop
appstreamcli validate --no-net "$STAGE"/usr/share/metainfo/*.metainfo.xml
lintian --fail-on error "$DEB" \
  | tee "$BUILD_DIR/lintian.txt"
echo "package: lintian errors: $(grep -c '^E:' "$BUILD_DIR/lintian.txt" || true)"
