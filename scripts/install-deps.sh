#!/usr/bin/env bash
# Installs the Debian packages that building, running or testing Tavrik needs.
# Usage: scripts/install-deps.sh [run|test|bench|package|screenshot|format|windows]   (default: run)
# Skips apt entirely when every package is already present.
set -euo pipefail

build_pkgs=(build-essential cmake qtbase5-dev libqt5serialport5-dev)
# The captions are Chinese: without a CJK font they show as boxes, but the
# tool runs all the same, so only the run set asks for one.
run_pkgs=("${build_pkgs[@]}" fonts-noto-cjk)
# The suite also runs on Qt 6, and runs the field's own tools (gpsd, RTKLIB's
# str2str) against the built program, and closes a window through a real X
# server.
test_pkgs=("${build_pkgs[@]}" qt6-base-dev qt6-serialport-dev gpsd gpsd-clients rtklib
           xvfb libxcb1-dev pkg-config)
bench_pkgs=("${build_pkgs[@]}" socat xvfb fonts-noto-cjk)
package_pkgs=("${build_pkgs[@]}" dpkg-dev file lintian desktop-file-utils appstream)
screenshot_pkgs=("${run_pkgs[@]}" xvfb imagemagick)
format_pkgs=(clang-format git)
# The Windows build: the MinGW-w64 cross compiler, the tools that build Qt from
# its source package, NSIS for the installer, mmdebstrap for the chroot that
# holds Wine 10, and an X server for the end-to-end check (xdotool drives the
# window there).
windows_pkgs=(build-essential cmake g++-mingw-w64-x86-64-posix dpkg-dev perl python3 xz-utils
              nsis mmdebstrap xvfb xdotool imagemagick)

case "${1:-run}" in
    run) pkgs=("${run_pkgs[@]}") ;;
    test) pkgs=("${test_pkgs[@]}") ;;
    bench) pkgs=("${bench_pkgs[@]}") ;;
    package) pkgs=("${package_pkgs[@]}") ;;
    screenshot) pkgs=("${screenshot_pkgs[@]}") ;;
    format) pkgs=("${format_pkgs[@]}") ;;
    windows) pkgs=("${windows_pkgs[@]}") ;;
    *) echo "usage: $0 [run|test|bench|package|screenshot|format|windows]" >&2; exit 2 ;;
esac

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
    sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
