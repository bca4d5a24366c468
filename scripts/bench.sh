#!/usr/bin/env bash
# Builds the benchmark (Release) and prints its table: each figure, beside
# socat doing the same job where it can, with its target and whether the run
# met it. A full run takes about half an hour; --quick runs every figure on a
# tenth of the data in about four minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
cmake --preset bench >/dev/null
cmake --build build/bench -j"$(nproc)" --target tavrik_bench
QT_QPA_PLATFORM=offscreen build/bench/bench/tavrik_bench "$@"
