#!/usr/bin/env bash
# Builds the benchmark (Release) and prints its table of figures, each beside
# socat doing the same job. --quick runs every figure in a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target tavrik_bench
QT_QPA_PLATFORM=offscreen build/release/bench/tavrik_bench "$@"
