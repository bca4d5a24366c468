#!/usr/bin/env bash
# Cross-builds Tavrik for 64-bit Windows with MinGW-w64 and packs it as a zip
# and an NSIS installer in build/windows/.
# Usage: scripts/windows.sh [--check]
#   --check  also runs the Windows test suites and the end-to-end check under
#            Wine 10
#
# Qt Base and Qt Serial Port are built from source once, into a prefix under
# ~/.cache/tavrik (or $TAVRIK_CACHE) named by Qt's version and a hash of the
# configure line and compiler, so later runs reuse it. Wine 10 comes from
# Debian trixie, in a chroot built once into the same cache, named by its
# suite and package list.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh windows

qt_version=5.15.8
serialport_tarball=$root/../shared/third-party/qtserialport-everywhere-opensource-src-$qt_version.tar.xz
serialport_sha256=6958041d9f09ec1a03aeb6f1d589025af217883bf5b4f42e2fc8e6eaceb12648
# Only what the tool and its tests use: no OpenGL, D-Bus, ICU or SQL. Debian's
# source has no wintab headers, hence no tablet events.
qt_configure=(-xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
              -opensource -confirm-license -release -nomake examples -nomake tests
              -no-opengl -no-dbus -no-icu -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg
              -qt-freetype -qt-harfbuzz -no-feature-sql -no-feature-tabletevent)
qt_key=$(printf '%s\n' "$qt_version" "${qt_configure[@]}" "$(x86_64-w64-mingw32-g++ --version | head -1)" |
         sha256sum | cut -c1-12)
cache=${TAVRIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik}
qt_prefix=$cache/qt-$qt_version-mingw64-$qt_key
jobs=$(nproc)

# Debian 12's Wine 8 never runs the completion routine of Qt's wait for COM
# port bytes, so no byte a receiver sends would reach a program under it.
# Wine 10 does, and comes from trixie; it runs 64-bit programs only, which is
# all the release has.
wine_suite=trixie
wine_pkgs=(wine wine64 libwine fonts-wine procps)
wine_key=$(printf '%s\n' "$wine_suite" "${wine_pkgs[@]}" | sha256sum | cut -c1-12)
wine_root=$cache/wine10-$wine_suite-$wine_key
# Bound into the chroot at the same paths: the devices (the pseudo-terminals
# that play COM ports among them), /tmp (the X server's socket, the end-to-end
# check's files) and this tree (the programs under test).
wine_binds=(/dev /dev/pts /dev/shm /proc /sys /tmp "$root")

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Fetches Qt Base's Debian source package into the current folder. apt needs a
# deb-src entry for the archive the machine already uses.
fetch_qtbase_source() {
    if ! apt-get source --print-uris qtbase-opensource-src >/dev/null 2>&1; then
        local sources=/etc/apt/sources.list.d/tavrik-deb-src.sources
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/*.sources |
            as_root tee "$sources" >/dev/null
        as_root apt-get update
    fi
    apt-get source qtbase-opensource-src
}

# Qt Base first, then Qt Serial Port against it; each step is marked done in
# the prefix, so that a failed run goes on from where it stopped.
build_qt() {
    [ -f "$qt_prefix/.complete" ] && return
    echo "building Qt $qt_version for Windows into $qt_prefix (tens of minutes, once)"
    local work=$cache/work-$qt_key
    mkdir -p "$work"
    if [ ! -f "$qt_prefix/.qtbase" ]; then
        rm -rf "$qt_prefix" "$work"/qtbase-*
        (cd "$work" && fetch_qtbase_source)
        local qtbase_src
        qtbase_src=$(find "$work" -maxdepth 1 -type d -name "qtbase-opensource-src-$qt_version*" | head -1)
        [ -n "$qtbase_src" ] || { echo "no Qt Base $qt_version source in $work" >&2; exit 1; }
        mkdir -p "$work/qtbase-build"
        (cd "$work/qtbase-build" &&
            "$qtbase_src/configure" -prefix "$qt_prefix" "${qt_configure[@]}" &&
            make -j"$jobs" && make install)
        touch "$qt_prefix/.qtbase"
    fi

    echo "$serialport_sha256  $serialport_tarball" | sha256sum -c --quiet
    rm -rf "$work"/qtserialport-* "$work/serialport-build"
    tar -C "$work" -xf "$serialport_tarball"
    local serialport_src=$work/qtserialport-everywhere-src-$qt_version
    # A source archive has no generated include folder, and qmake makes one
    # only inside a git checkout; outside one, it looks for it in the source.
    perl "$qt_prefix/bin/syncqt.pl" -module QtSerialPort -version "$qt_version" \
        -outdir "$serialport_src" "$serialport_src"
    mkdir -p "$work/serialport-build"
    (cd "$work/serialport-build" && "$qt_prefix/bin/qmake" "$serialport_src" &&
        make -j"$jobs" && make install)
    [ -f "$qt_prefix/include/QtSerialPort/QSerialPort" ] ||
        { echo "Qt Serial Port's headers were not installed" >&2; exit 1; }

    touch "$qt_prefix/.complete"
    rm -rf "$work"
}

# Whether anything is mounted at or below the folder.
has_mounts() {
    findmnt -rn -o TARGET | grep -q -e "^$1\$" -e "^$1/"
}

# The chroot, once: built aside and moved into place when whole. Its packages
# come from the archive this machine already uses.
build_wine_root() {
    [ -f "$wine_root/.complete" ] && return
    local partial=$wine_root.partial mirror
    mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources | grep -v -- -security | head -1)
    [ -n "$mirror" ] || { echo "no archive URI in /etc/apt/sources.list.d/*.sources" >&2; exit 1; }
    echo "building the Wine 10 chroot ($wine_suite) into $wine_root (minutes, once)"
    # A bind left from an interrupted run would let the delete below reach
    # the machine's own /dev and /tmp.
    if has_mounts "$partial" || has_mounts "$wine_root"; then
        echo "refusing to remove $wine_root: something is mounted below it" >&2
        exit 1
    fi
    as_root rm -rf "$partial" "$wine_root"
    as_root mmdebstrap --variant=minbase --include="$(IFS=,; echo "${wine_pkgs[*]}")" \
        "$wine_suite" "$partial" "deb $mirror $wine_suite main"
    as_root touch "$partial/.complete"
    as_root mv "$partial" "$wine_root"
}

mount_wine_root() {
    trap unmount_wine_root EXIT
    trap 'exit 130' INT TERM
    local bind
    for bind in "${wine_binds[@]}"; do
        as_root mkdir -p "$wine_root$bind"
        as_root mount --bind "$bind" "$wine_root$bind"
    done
}

# Lazily, in reverse: a Wine process that lingers for a moment must not keep
# a bind in place.
unmount_wine_root() {
    local i
    if [ -n "${wineserver_up:-}" ]; then
        scripts/wine10 wineserver -k 2>/dev/null || true
    fi
    for ((i = ${#wine_binds[@]} - 1; i >= 0; i--)); do
        if mountpoint -q "$wine_root${wine_binds[i]}"; then
            as_root umount -l "$wine_root${wine_binds[i]}"
        fi
    done
}

build_qt
if [ "${1:-}" = --check ]; then
    build_wine_root
fi

export TAVRIK_WINDOWS_QT=$qt_prefix
cmake --preset windows >/dev/null
cmake --build build/windows -j"$jobs"
rm -f build/windows/tavrik-*-windows-x86_64.zip build/windows/tavrik-*-setup.exe
(cd build/windows && cpack >/dev/null)
ls -l build/windows/tavrik-*-windows-x86_64.zip build/windows/tavrik-*-setup.exe

if [ "${1:-}" = --check ]; then
    # The test rig's host side: the modem-line shim that Wine loads, and the
    # null-modem pair that plays the device's end of a COM port.
    support=$root/build/wine-support
    mkdir -p "$support"
    cc -O2 -Wall -Wextra -shared -fPIC -o "$support/modemlines.so" tests/wine/modemlines.c -ldl
    cc -O2 -Wall -Wextra -o "$support/nullmodem" tests/wine/nullmodem.c
    export TAVRIK_WINE_ROOT=$wine_root TAVRIK_WINE_SHIM=$support/modemlines.so
    export TAVRIK_NULLMODEM=$support/nullmodem WINEDEBUG=-all
    mount_wine_root
    # One wineserver and one set of Wine's own services for all the suites,
    # started here with their output in a file of their own: started by a
    # suite, they would hold its output open and write theirs into it. The
    # suites' prefix is made once; Wine's first start takes a while. A fresh
    # prefix maps COM1 to /dev/ttyS0, the machine's console.
    export WINEPREFIX=$root/build/windows/wine10
    wine_log=$root/build/windows/wine-services.log
    wineserver_up=1
    mkdir -p "$WINEPREFIX"
    scripts/wine10 wineserver -p 2>"$wine_log"
    scripts/wine10 wineboot -i >>"$wine_log" 2>&1
    rm -f "$WINEPREFIX/dosdevices/com1"
    (cd build/windows && ctest --output-on-failure -j2)
    scripts/windows-smoke.py build/windows/tavrik-*-setup.exe
fi
