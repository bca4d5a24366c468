#!/usr/bin/env bash
# Formats the product code, the tests, the benchmark and the tools with Qt's
# clang-format style (.clang-format).
# With --check it changes nothing and fails when a file is not formatted.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh format
mapfile -t files < <(git ls-files 'app/*.cpp' 'app/*.h' 'widget/*.cpp' 'widget/*.h' \
                                  'tcpserver/*.cpp' 'tcpserver/*.h' 'tools/*.cpp' 'tools/*.h' \
                                  'tests/*.cpp' 'tests/*.h' 'tests/*.c' 'bench/*.cpp' 'bench/*.h')
if [ "${1:-}" = "--check" ]; then
    clang-format --dry-run -Werror "${files[@]}"
    echo "code formatted (${#files[@]} files)"
else
    clang-format -i "${files[@]}"
fi
