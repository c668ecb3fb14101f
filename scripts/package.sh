#!/usr/bin/env bash
# Builds the Debian package tagvane_<version>_<arch>.deb from the build in
# build/ (made first when missing):
#   scripts/package.sh [OUT_DIR]        (default: build/package)
# The command and tools go to /usr/bin, the daemon the command starts to
# /usr/lib/tagvane, the web assets to /usr/share/tagvane/html, the unit to
# /lib/systemd/system and the man page to /usr/share/man/man8; the package scripts create the service user and
# enable and start the service. Dependencies come from the shared libraries
# the programs link (dpkg-shlibdeps).
set -euo pipefail
cd "$(dirname "$0")/.."
OUT="${1:-$PWD/build/package}"
BUILD="${TAGVANE_PACKAGE_BUILD:-build}"
[[ -x "$BUILD/tagvane" ]] || bash scripts/build.sh

VERSION=$(sed -n 's/^project(tagvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
ARCH=$(dpkg --print-architecture)
# Whoever ships the package names themselves here.
MAINTAINER="${TAGVANE_MAINTAINER:-Tagvane Maintainers <maintainers@tagvane.example>}"
STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT
ROOT="$STAGE/root"

DESTDIR="$ROOT" cmake --install "$BUILD" --prefix /usr --strip >/dev/null
# The unit belongs in /lib/systemd/system, not below the prefix.
mkdir -p "$ROOT/lib/systemd/system"
mv "$ROOT/usr/lib/systemd/system/tagvane.service" "$ROOT/lib/systemd/system/"
rm -rf "$ROOT/usr/lib/systemd"
rmdir "$ROOT/usr/lib" 2>/dev/null || true
gzip -9n "$ROOT"/usr/share/man/man8/*.8 "$ROOT"/usr/share/man/man1/*.1
mkdir -p "$ROOT/usr/share/doc/tagvane"
cp README.md packaging/debian/copyright "$ROOT/usr/share/doc/tagvane/"
gzip -9nc packaging/debian/changelog > "$ROOT/usr/share/doc/tagvane/changelog.gz"
mkdir -p "$ROOT/usr/share/lintian/overrides"
cp packaging/debian/lintian-overrides "$ROOT/usr/share/lintian/overrides/tagvane"

# dpkg-shlibdeps wants a debian/control beside it.
mkdir -p "$STAGE/debian"
printf 'Source: tagvane\n\nPackage: tagvane\nArchitecture: any\n' > "$STAGE/debian/control"
SHLIBS=$(cd "$STAGE" && dpkg-shlibdeps -O -e root/usr/bin/* root/usr/lib/tagvane/* 2>/dev/null | sed -n 's/^shlibs:Depends=//p')

mkdir -p "$ROOT/DEBIAN"
cp packaging/debian/postinst packaging/debian/prerm packaging/debian/postrm "$ROOT/DEBIAN/"
chmod 755 "$ROOT/DEBIAN/postinst" "$ROOT/DEBIAN/prerm" "$ROOT/DEBIAN/postrm"
SIZE=$(du -sk --exclude=DEBIAN "$ROOT" | cut -f1)
cat > "$ROOT/DEBIAN/control" <<CONTROL
Package: tagvane
Version: $VERSION
Architecture: $ARCH
Maintainer: $MAINTAINER
Installed-Size: $SIZE
Depends: $SHLIBS, adduser, init-system-helpers (>= 1.52)
Section: net
Priority: optional
Description: presence of active RFID tags, published as xAP BSC messages
 Tagvane reads an active RFID tag receiver on a serial port or through a
 serial-to-network bridge, decides which tags are present, and publishes
 every change as xAP Basic Status and Control messages. It serves a status
 page, a live data monitor and a setup page, and runs as a systemd service.
CONTROL

(cd "$ROOT" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
  xargs -0 md5sum) > "$ROOT/DEBIAN/md5sums"

mkdir -p "$OUT"
DEB="$OUT/tagvane_${VERSION}_${ARCH}.deb"
dpkg-deb --root-owner-group --build "$ROOT" "$DEB" >/dev/null
echo "$DEB"
