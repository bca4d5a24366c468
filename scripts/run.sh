#!/usr/bin/env bash
# Installs what the tool needs, builds it (Release) and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
cmake --preset release >/dev/null
cmake --build build/release -j"$(nproc)" --target tavrik
exec build/release/app/tavrik "$@"
