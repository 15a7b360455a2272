#!/usr/bin/env bash
# Builds the XML-RPC fuzz target with clang (libFuzzer, ASan, UBSan) apart from
# the main build, seeds a corpus from the test texts and runs it.
#   tests/fuzz/run.sh [SECONDS]     (default 60)
# FUZZ_BUILD_DIR chooses the build directory (default /tmp/valtd-fuzz).
# Exits non-zero when the build fails or the fuzzer finds anything.
set -euo pipefail

seconds="${1:-60}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${FUZZ_BUILD_DIR:-/tmp/valtd-fuzz}"
cxx="${FUZZ_CXX:-clang++}"

mkdir -p "$out/corpus" "$out/findings"

sources=(
    "$here/xmlrpc_fuzzer.cpp"
    "$root"/src/xmlrpc/*.cpp
    "$root/src/platform/XMLNavigator.cpp"
    "$root/src/platform/SipAddress.cpp"
    "$root/src/platform/MediaControl.cpp"
)
"$cxx" -std=c++17 -g -O1 -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Wall -Wextra -Werror -I"$root/src" "${sources[@]}" -o "$out/xmlrpc_fuzzer"

# Seeds: the wire fixtures and the hand-written texts next to this script.
cp "$root"/tests/xmlrpc/data/*.xml "$out/corpus/" 2>/dev/null || true
cp "$here"/seeds/* "$out/corpus/" 2>/dev/null || true

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
"$out/xmlrpc_fuzzer" "$out/corpus" \
    -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$out/findings/" -print_final_stats=1
