#!/usr/bin/env bash
# Installs the Debian packages that building, running or testing Tavrik needs.
# Usage: scripts/install-deps.sh [run|test|bench|package|screenshot|format]   (default: run)
# Skips apt entirely when every package is already present.
set -euo pipefail

build_pkgs=(build-essential cmake qtbase5-dev libqt5serialport5-dev)
# The captions are Chinese: without a CJK font they show as boxes, but the
# tool runs all the same, so only the run set asks for one.
run_pkgs=("${build_pkgs[@]}" fonts-noto-cjk)
# The suite also runs on Qt 6, and runs the field's own tools (gpsd, RTKLIB's
# str2str) against the built program.
test_pkgs=("${build_pkgs[@]}" qt6-base-dev qt6-serialport-dev gpsd gpsd-clients rtklib)
bench_pkgs=("${build_pkgs[@]}" socat xvfb fonts-noto-cjk)
package_pkgs=("${build_pkgs[@]}" dpkg-dev file lintian desktop-file-utils appstream)
screenshot_pkgs=("${run_pkgs[@]}" xvfb imagemagick)
format_pkgs=(clang-format git)

case "${1:-run}" in
    run) pkgs=("${run_pkgs[@]}") ;;
    test) pkgs=("${test_pkgs[@]}") ;;
    bench) pkgs=("${bench_pkgs[@]}") ;;
    package) pkgs=("${package_pkgs[@]}") ;;
    screenshot) pkgs=("${screenshot_pkgs[@]}") ;;
    format) pkgs=("${format_pkgs[@]}") ;;
    *) echo "usage: $0 [run|test|bench|package|screenshot|format]" >&2; exit 2 ;;
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
