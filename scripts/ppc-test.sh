#!/usr/bin/env bash
# Cross-builds valtd, its tools and the GoogleTest executables for the exchange
# unit (32-bit big-endian PowerPC) into build-ppc/, and runs the tests under
# qemu-ppc. The end-to-end tests (native processes driven from Python) are not
# part of the cross build.
#   scripts/ppc-test.sh              stage the libraries, build, run every test
#   scripts/ppc-test.sh -R Codec     extra arguments go to ctest
# VALTD_PPC_CACHE names the cache of the staged libraries (scripts/ppc-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

stage=$(scripts/ppc-deps.sh | tail -n 1)
dir=build-ppc

cmake -S . -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
    -DVALTD_PPC_STAGE="$stage" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_FLAGS_RELEASE=-O2 -DCMAKE_CXX_FLAGS_RELEASE=-O2 >&2
cmake --build "$dir" -j "${VALTD_PPC_JOBS:-2}" >&2

# Under emulation a test runs several times slower than natively.
(cd "$dir" && ctest --output-on-failure --timeout 600 -j 2 "$@")
