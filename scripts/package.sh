#!/usr/bin/env bash
# Builds the Debian package into build/package/.
# With --check it also installs the package and starts the installed program
# on the offscreen platform for a moment, to prove that it runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
# TAVRIK_QT=6 builds the package on Qt 6; it then depends on the Qt 6 libraries.
cmake --preset package -DTAVRIK_QT="${TAVRIK_QT:-5}" >/dev/null
cmake --build build/package -j"$(nproc)"
(cd build/package && cpack -G DEB >/dev/null)
deb=$(ls build/package/tavrik_*.deb)
echo "built $deb"
dpkg-deb --field "$deb" Package Version Depends Recommends

[ "${1:-}" = "--check" ] || exit 0
# Debian's checks, on what the package holds: any report fails the check,
# but for one. The AppStream id is made of the project's only domain, which is
# under the reserved .example, so appstreamcli can only guess that it is one.
# It stays off the network (it would fetch URLs).
desktop-file-validate app/tavrik.desktop
contents=$(mktemp -d)
trap 'rm -rf "$contents"' EXIT
dpkg-deb -x "$deb" "$contents"
metainfo=$(cd "$contents" && ls usr/share/metainfo/*.metainfo.xml)
reports=$(appstreamcli validate --pedantic --no-net "$contents/$metainfo" 2>&1 |
    grep -E '^[EWIP]: ' | grep -v ' cid-maybe-not-rdns ' || true)
[ -z "$reports" ] || { printf '%s\n' "$reports" >&2; exit 1; }
lintian --pedantic --fail-on error,warning "$deb"
echo "desktop-file-validate and appstreamcli find nothing, lintian no error or warning"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
# --reinstall: a package of the same version may be installed already.
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --reinstall --no-install-recommends "./$deb" >/dev/null
for f in /usr/bin/tavrik /usr/bin/tavrik-gnss-sim /usr/share/applications/tavrik.desktop \
         /usr/share/icons/hicolor/{128x128,48x48}/apps/tavrik.png \
         /usr/share/icons/hicolor/scalable/apps/tavrik.svg \
         /usr/share/man/man1/tavrik.1.gz /usr/share/doc/tavrik/copyright \
         "/$metainfo"; do
    [ -e "$f" ] || { echo "missing after install: $f" >&2; exit 1; }
done
# Still running after three seconds means it started and stayed up.
rc=0
QT_QPA_PLATFORM=offscreen timeout 3 /usr/bin/tavrik >/dev/null 2>&1 || rc=$?
if [ "$rc" -ne 124 ]; then
    echo "the installed program ended early with exit code $rc" >&2
    exit 1
fi
echo "installed package runs"
# And it leaves nothing of its own behind.
DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y tavrik >/dev/null
left=$(dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' | while read -r f; do
    [ -f "$f" ] && echo "$f"; done || true)
[ -z "$left" ] || { echo "left behind after removal: $left" >&2; exit 1; }
echo "removed cleanly"
