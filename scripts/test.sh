#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (unit, component and
# end-to-end).
#   scripts/test.sh                     every test, normal build
#   scripts/test.sh --sanitize address  every test under AddressSanitizer + UBSan
#   scripts/test.sh --sanitize thread   the threaded and end-to-end tests under ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
dir=$(scripts/build.sh "$@" | tail -n 1)

args=(--output-on-failure --timeout 300 -j 2)
if [ "${1:-}" = "--sanitize" ] && [ "${2:-}" = "thread" ]; then
    # Single-threaded codec tests are labelled "codec"; ThreadSanitizer runs the rest.
    args+=(-LE codec)
fi
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=1 abort_on_error=0 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
(cd "$dir" && ctest "${args[@]}")
