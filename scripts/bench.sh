#!/usr/bin/env bash
# Builds the benchmark (Release) and prints its table of figures, each beside
# socat doing the same job. --quick runs every figure in a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
cmake --preset bench >/dev/null
cmake --build build/bench -j"$(nproc)" --target tavrik_bench
QT_QPA_PLATFORM=offscreen build/bench/bench/tavrik_bench "$@"
