#!/usr/bin/env bash
# Makes docs/screenshot.png: the program in a real X window under Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh screenshot
cmake --preset release >/dev/null
cmake --build build/release -j"$(nproc)" --target tavrik

display=:97
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp &
xvfb=$!
trap 'kill "$app" 2>/dev/null || true; kill "$xvfb" 2>/dev/null || true' EXIT
sleep 1
DISPLAY=$display QT_QPA_PLATFORM=xcb build/release/app/tavrik &
app=$!
sleep 3
DISPLAY=$display import -window Tavrik docs/screenshot.png
echo "wrote docs/screenshot.png"
