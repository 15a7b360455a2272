#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) apart from the main
# build and runs each for its share of the time.
#   tests/fuzz/run.sh [SECONDS [TARGET...]]   (default 60 s, every target)
# SECONDS is the total fuzzing time, split evenly among the targets run. Each
# target starts from its checked-in seeds (seeds/<target>/, plus the XML-RPC
# wire fixtures for the targets that read XML-RPC) and the corpus it grew in
# earlier runs of the same build directory.
# FUZZ_BUILD_DIR chooses the build directory (default build-fuzz/ in the checkout).
# Exits non-zero when the build fails or a fuzzer finds anything; what it
# found is kept in $FUZZ_BUILD_DIR/findings/<target>/.
set -euo pipefail

seconds="${1:-60}"
shift || true
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
all=(xmlrpc_fuzzer factory_fuzzer framing_fuzzer policy_fuzzer exlink_fuzzer sip_fuzzer)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

start=$(date +%s)
cmake -S "$root" -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DCMAKE_C_COMPILER="${FUZZ_CC:-clang}" -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" \
    -DVALTD_SANITIZE=fuzzer -DVALTD_BUILD_TESTS=OFF >/dev/null
cmake --build "$out/build" -j "$(nproc)" --target "${targets[@]}"
echo "fuzz build: $(( $(date +%s) - start )) s"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
share=$(( seconds / ${#targets[@]} ))
[ "$share" -gt 0 ] || share=1
failed=()
for target in "${targets[@]}"; do
    corpus="$out/corpus/$target"
    findings="$out/findings/$target"
    mkdir -p "$corpus" "$findings"
    cp "$here/seeds/$target"/* "$corpus/" 2>/dev/null || true
    case "$target" in
        xmlrpc_fuzzer | factory_fuzzer | framing_fuzzer | policy_fuzzer)
            cp "$root"/tests/xmlrpc/data/*.xml "$corpus/" ;;
    esac
    echo "=== $target: $share s ==="
    if ! "$out/build/bin/$target" "$corpus" -max_total_time="$share" -max_len=16384 \
        -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$findings/" -print_final_stats=1 \
        2>"$out/$target.log"; then
        tail -n 60 "$out/$target.log"
        failed+=("$target")
    else
        grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|cov:' "$out/$target.log" |
            tail -n 3
    fi
done
echo "fuzzing finished in $(( $(date +%s) - start )) s"
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzers that found a fault: ${failed[*]} (inputs in $out/findings/)" >&2
    exit 1
fi
