#!/usr/bin/env bash
# Installs what the tool needs, builds it (Release) and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release -j"$(nproc)"
exec build/release/app/tavrik "$@"
