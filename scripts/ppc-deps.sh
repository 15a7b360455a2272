#!/usr/bin/env bash
# Stages the target libraries for the 32-bit big-endian PowerPC build: static
# OpenSSL and SQLite built from Debian 12's source packages, GoogleTest from
# /usr/src/googletest, and the header-only JSON library. Standard output's last
# line names the staging folder (the CMake toolchain's VALTD_PPC_STAGE).
#
#   scripts/ppc-deps.sh
#
# The stage lives in ${VALTD_PPC_CACHE:-/var/cache/valtd-ppc}/<openssl>_<sqlite>_<gtest>
# (the package versions), complete once it holds the file .finished; a stage
# without it is built again from scratch. Sources come through a private apt
# source list and state folder under the cache: the machine's apt configuration
# is not touched. As root the script installs the cross compiler, the emulator
# and the source tools it needs; otherwise it names the missing packages.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

TARGET=powerpc-linux-gnu
MIRROR="${VALTD_PPC_MIRROR:-http://deb.debian.org/debian}"
cache="${VALTD_PPC_CACHE:-/var/cache/valtd-ppc}"
jobs="${VALTD_PPC_JOBS:-2}"
# The target's time_t and file offsets are 64 bits wide in every part linked
# together: a library built with the 32-bit time_t would read certificate and
# file dates wrongly through the project's 64-bit structures.
ABI_FLAGS="-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64"

log() { echo "ppc-deps: $*" >&2; }

# --- Debian packages of the build machine -------------------------------------
PACKAGES=(
    g++-powerpc-linux-gnu libc6-dev-powerpc-cross qemu-user
    dpkg-dev tcl xz-utils make perl cmake ninja-build
    googletest nlohmann-json3-dev debian-archive-keyring
)
missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "ppc-deps: missing packages; run as root: apt-get install ${missing[*]}" >&2
        exit 1
    fi
    log "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y --no-install-recommends "${missing[@]}" >&2 ||
        { apt-get update >&2 && apt-get install -y --no-install-recommends "${missing[@]}" >&2; }
fi

# --- Private apt configuration: source packages of Debian 12 ------------------
aptdir="$cache/apt"
mkdir -p "$aptdir/etc/parts" "$aptdir/state/lists/partial" "$aptdir/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $MIRROR bookworm main" \
    >"$aptdir/etc/sources.list"
touch "$aptdir/state/status"
APT_OPTS=(
    -o "Dir::Etc::SourceList=$aptdir/etc/sources.list"
    -o "Dir::Etc::SourceParts=$aptdir/etc/parts"
    -o "Dir::Etc::PreferencesParts=$aptdir/etc/parts"
    -o "Dir::State=$aptdir/state"
    -o "Dir::State::status=$aptdir/state/status"
    -o "Dir::Cache=$aptdir/cache"
    -o "APT::Sandbox::User=root"
)

# The newest source version apt offers for a package.
src_version() {
    apt-cache "${APT_OPTS[@]}" showsrc "$1" 2>/dev/null |
        sed -n 's/^Version: //p' | sort -V | tail -n 1
}

gtest_ver=$(dpkg-query -W -f='${Version}' googletest)
if apt-get "${APT_OPTS[@]}" -qq update >&2; then
    openssl_ver=$(src_version openssl)
    sqlite_ver=$(src_version sqlite3)
else
    # Offline: keep using the newest finished stage, if any.
    stage=$(ls -d "$cache"/*_*_"$(echo "$gtest_ver" | tr ':~' '-.')" 2>/dev/null | sort -V | while read -r d; do
        [ -f "$d/.finished" ] && echo "$d"; done | tail -n 1 || true)
    if [ -n "$stage" ]; then
        log "package lists unreachable; using $stage"
        echo "$stage"
        exit 0
    fi
    log "cannot reach $MIRROR and no finished stage in $cache"
    exit 1
fi
[ -n "$openssl_ver" ] && [ -n "$sqlite_ver" ] || { log "no openssl or sqlite3 sources at $MIRROR"; exit 1; }

# Epoch colons and tildes stay out of the folder name (it ends up in search paths).
stage="$cache/$(echo "${openssl_ver}_${sqlite_ver}_${gtest_ver}" | tr ':~' '-.')"
if [ -f "$stage/.finished" ]; then
    log "stage up to date: $stage"
    echo "$stage"
    exit 0
fi

log "building the stage $stage"
start=$(date +%s)
rm -rf "$stage"
work="$cache/work"
rm -rf "$work"
mkdir -p "$work" "$stage/include" "$stage/lib"

# Sources: exactly the versions the stage is named after.
(cd "$work" && apt-get "${APT_OPTS[@]}" -qq source --download-only \
    "openssl=$openssl_ver" "sqlite3=$sqlite_ver" >&2)
(cd "$work" && dpkg-source -q -x openssl_*.dsc openssl >&2 2>/dev/null &&
    dpkg-source -q -x sqlite3_*.dsc sqlite3 >&2 2>/dev/null)

# --- OpenSSL: static libcrypto and libssl -------------------------------------
log "OpenSSL $openssl_ver"
(
    cd "$work/openssl"
    # The certificate store is the unit's usual one, /usr/lib/ssl.
    ./Configure linux-ppc no-shared no-tests no-module \
        --cross-compile-prefix="$TARGET-" --prefix="$stage" --libdir=lib \
        --openssldir=/usr/lib/ssl $ABI_FLAGS >&2
    make -s -j "$jobs" build_libs >&2
    make -s install_dev >&2
)

# --- SQLite: the amalgamation as a static library ------------------------------
log "SQLite $sqlite_ver"
(
    cd "$work/sqlite3"
    ./configure --host="$TARGET" --disable-tcl BCC=gcc >&2
    make -s CROSS_BUILDING=yes sqlite3.c >&2
    "$TARGET-gcc" -O2 -fno-strict-aliasing $ABI_FLAGS -DSQLITE_THREADSAFE=1 \
        -DSQLITE_OMIT_LOAD_EXTENSION -c sqlite3.c -o sqlite3.o
    "$TARGET-ar" rcs "$stage/lib/libsqlite3.a" sqlite3.o
    cp sqlite3.h sqlite3ext.h "$stage/include/"
)

# --- GoogleTest ------------------------------------------------------------------
log "GoogleTest $gtest_ver"
cmake -S /usr/src/googletest -B "$work/gtest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root_dir/cmake/powerpc-linux-gnu.cmake" \
    -DVALTD_PPC_STAGE="$stage" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$stage" -DCMAKE_INSTALL_LIBDIR=lib >&2
cmake --build "$work/gtest" -j "$jobs" >&2
cmake --install "$work/gtest" >&2

# --- nlohmann JSON: header-only, copied so the target's search finds it ---------
mkdir -p "$stage/share/cmake"
cp -r /usr/include/nlohmann "$stage/include/"
cp -r /usr/share/cmake/nlohmann_json "$stage/share/cmake/"

rm -rf "$work"
touch "$stage/.finished"
log "stage built in $(( $(date +%s) - start )) s"
echo "$stage"
