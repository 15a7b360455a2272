#!/usr/bin/env bash
# Benchmark suite: installs the anchors' Debian packages (as root), builds in
# Release with the benchmarks, runs every scenario against its anchor in the
# same run and prints one table (docs/performance.md).
#   scripts/bench.sh            full run (about 3 minutes)
#   scripts/bench.sh --smoke    every scenario for a second or so
#   scripts/bench.sh --set log-queue-lines=32 --set write-all-queued=true \
#                    --set event-thread-writes=true
#                               the same with settings for every daemon
# The loopback floor probes and the fixtures are read from ../shared/anchors
# beside the source tree, or from $VALTD_ANCHORS; an absent anchor leaves its
# column empty.
set -euo pipefail
cd "$(dirname "$0")/.."

# Options after the build go to bench/run_bench.py: --smoke, --only LIST,
# --set NAME=VALUE (a setting for every daemon of the run).
run_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --smoke) run_args+=(--smoke); shift ;;
        --only|--set) [ $# -ge 2 ] || { echo "$1 needs a value" >&2; exit 2; }
            run_args+=("$1" "$2"); shift 2 ;;
        *) echo "usage: scripts/bench.sh [--smoke] [--only LIST] [--set NAME=VALUE]..." >&2; exit 2 ;;
    esac
done

ANCHOR_PACKAGES=(libxmlrpc-core-c3-dev libexpat1-dev libbenchmark-dev gcc python3 openssl util-linux)
missing=()
for p in "${ANCHOR_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "the benchmarks need: apt-get install -y ${missing[*]} (as root)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
scripts/install-deps.sh

dir=$(scripts/build.sh --release)
# The daemon linked statically, as for the unit, for the footprint rows.
cmake -S . -B build-static -G Ninja -DCMAKE_BUILD_TYPE=Release -DVALTD_STATIC=ON \
    -DVALTD_BUILD_TESTS=OFF >&2
cmake --build build-static -j "$(nproc)" --target valtd >&2
exec python3 bench/run_bench.py --bin "$dir/bin" --static-bin build-static/bin "${run_args[@]}"
