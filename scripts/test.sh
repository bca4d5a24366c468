#!/usr/bin/env bash
# Installs what the tests need, then builds and runs the whole suite three
# times: on Qt 5, on Qt 5 under AddressSanitizer and UndefinedBehaviorSanitizer,
# and on Qt 6.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
export QT_QPA_PLATFORM=offscreen

# run_suite PRESET DIR: configures with the preset, builds and runs the suite.
run_suite() {
    local preset=$1 dir=$2
    cmake --preset "$preset" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
    (cd "$dir" && ctest --output-on-failure -j2)
    # CTest counts only whole suites that skip; list the test functions that
    # skipped too, each with its reason, so that none skips unnoticed.
    local skips
    skips=$(grep -h '^SKIP ' "$dir/Testing/Temporary/LastTest.log" || true)
    echo "$(printf '%s' "$skips" | grep -c . || true) test functions skipped in $dir"
    [ -z "$skips" ] || printf '%s\n' "$skips"
    # The field's tools were installed above, so the interop tests must run.
    if grep -q '^SKIP .*tst_Interop' <<<"$skips"; then
        echo "the interop tests skipped although their tools were installed" >&2
        return 1
    fi
}

run_suite test build/test
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite debug-asan build/sanitize
run_suite qt6 build/qt6
