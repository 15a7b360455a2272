#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks what lands there: the three
# programs and their manual pages (exchange-sim only with the development
# component), a unit that names the programs by that prefix and that systemd
# accepts, and the unit's exposure as systemd rates it (printed).
#   scripts/check-install.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
fail=0
for f in bin/valtd bin/valtctl bin/valtconf lib/systemd/system/valtd.service \
    lib/sysusers.d/valtd.conf lib/tmpfiles.d/valtd.conf; do
    [ -e "$prefix/$f" ] || { echo "missing after install: $f"; fail=1; }
done
if command -v help2man >/dev/null; then
    for f in share/man/man8/valtd.8 share/man/man1/valtctl.1 share/man/man1/valtconf.1; do
        [ -e "$prefix/$f" ] || { echo "missing after install: $f"; fail=1; }
    done
fi
[ ! -e "$prefix/bin/exchange-sim" ] || { echo "exchange-sim installed without its component"; fail=1; }
unit="$prefix/lib/systemd/system/valtd.service"
grep -q "^ExecStart=$prefix/bin/valtd$" "$unit" || { echo "the unit does not name $prefix/bin/valtd"; fail=1; }

if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify --man=no "$unit" || fail=1
    systemd-analyze security --offline=true "$unit" 2>&1 | tail -1
else
    echo "systemd-analyze not installed: unit not verified (scripts/install-deps.sh installs it)"
    fail=1
fi
cmake --install "$build" --prefix "$prefix" --component development >/dev/null
[ -e "$prefix/bin/exchange-sim" ] || { echo "exchange-sim missing from the development component"; fail=1; }
((fail == 0)) && echo "install checked: programs, manual pages, unit"
exit "$fail"
