#!/usr/bin/env bash
# Configures and builds valtd with its tests.
#   scripts/build.sh                    -> build/        (RelWithDebInfo)
#   scripts/build.sh --sanitize address -> build-asan/   (AddressSanitizer + UBSan)
#   scripts/build.sh --sanitize thread  -> build-tsan/   (ThreadSanitizer)
#   scripts/build.sh --release          -> build-release/ (Release, benchmarks, no tests)
#   scripts/build.sh --programs         -> build/, only valtd, valtconf, valtctl, exchange-sim
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
dir=build
extra=()
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --sanitize) sanitize="$2"; shift 2 ;;
        --programs) targets=(--target valtd valtconf valtctl exchange-sim); shift ;;
        --release) dir=build-release; extra+=(-DCMAKE_BUILD_TYPE=Release -DVALTD_BUILD_BENCH=ON -DVALTD_BUILD_TESTS=OFF); shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
case "$sanitize" in
    "") ;;
    address) dir=build-asan ;;
    thread) dir=build-tsan ;;
    *) echo "--sanitize takes 'address' or 'thread'" >&2; exit 2 ;;
esac

# Build output goes to standard error; standard output names the build folder.
cmake -S . -B "$dir" -G Ninja -DVALTD_SANITIZE="$sanitize" "${extra[@]}" >&2
cmake --build "$dir" -j "$(nproc)" "${targets[@]}" >&2
echo "$dir"
