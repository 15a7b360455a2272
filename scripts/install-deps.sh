#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running valtd need.
# As root it installs what is missing; otherwise it names the missing packages.
set -euo pipefail

PACKAGES=(
    g++ cmake ninja-build pkg-config
    libssl-dev openssl libsqlite3-dev nlohmann-json3-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    python3 clang libclang-rt-14-dev
    help2man systemd libedit-dev
    prometheus
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "valtd needs these Debian packages, which are not installed:" >&2
    echo "  ${missing[*]}" >&2
    echo "Install them as root:  apt-get install -y ${missing[*]}" >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
