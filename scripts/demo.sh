#!/usr/bin/env bash
# Runs valtd against exchange-sim in a sandbox directory (./sandbox, or
# $VALTD_ROOT when set).
#
# On a terminal it is interactive: type JSON event lines for exchange-sim (see
# docs/exchange-sim.md); the daemon's commands to the exchange are printed as
# they arrive. Ctrl-D stops the daemon (forced alert) and the simulator.
# Without a terminal it plays a short scripted scene and stops.
#
# VALTD_PORT sets the control server's port (default 4849).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
bin="$(pwd)/$(scripts/build.sh | tail -n 1)/bin"

root="${VALTD_ROOT:-$(pwd)/sandbox}"
mkdir -p "$root"
root="$(cd "$root" && pwd)"
export VALTD_ROOT="$root"
port="${VALTD_PORT:-4849}"

# Settings and a few accounts for clients to try.
"$bin/valtconf" init >/dev/null
"$bin/valtconf" set listen-port "$port" >/dev/null
"$bin/valtconf" set request-timeout 10 >/dev/null
"$bin/valtconf" list extensions 2>/dev/null | grep -q '^201\b' ||
    "$bin/valtconf" add-extension 201 --kind user --password secret >/dev/null
if [ -d tools/fcgiclient ] && [ -f tools/fcgiclient/fcgiclient ]; then
    mkdir -p "$root/bin"
    install -m 0755 tools/fcgiclient/fcgiclient "$root/bin/fcgiclient"
fi

echo "valtd demo"
echo "  sandbox root:    $root"
echo "  log:             $root/tmp/logs/valtd.log"
echo "  control server:  127.0.0.1:$port (user 201, password secret)"
echo

daemon_pid=""
cleanup() {
    if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
        kill -TERM "$daemon_pid" 2>/dev/null || true
        wait "$daemon_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

start_daemon() {
    # Wait for the simulator's sockets, then start the daemon beside it.
    for _ in $(seq 100); do
        [ -S "$root/tmp/exlink/cm.sock" ] && break
        sleep 0.05
    done
    "$bin/valtd" >>"$root/valtd.stdout" 2>&1 &
    daemon_pid=$!
    for _ in $(seq 100); do
        [ -S "$root/tmp/exlink/q-bin_ping-12.sock" ] && break
        sleep 0.05
    done
}

if [ -t 0 ]; then
    echo "Type exchange events as JSON lines, for example:"
    echo '  {"event":"CallArrived","callId":"1001","type":3,"ext":"201","from":{"user":"5551234"},"to":{"user":"201"}}'
    echo "Ctrl-D stops the daemon and the simulator."
    echo
    coproc SIM { "$bin/exchange-sim"; }
    start_daemon
    # Lines typed go to the simulator; its output comes back here.
    cat <&"${SIM[0]}" &
    printer=$!
    while IFS= read -r line; do
        printf '%s\n' "$line" >&"${SIM[1]}"
    done
    printf '%s\n' '{"event":"ForcedAlert"}' >&"${SIM[1]}"
    wait "$daemon_pid" && echo "valtd stopped (exit code 0)"
    daemon_pid=""
    exec {SIM[1]}>&-
    wait "$printer" 2>/dev/null || true
else
    coproc SIM { "$bin/exchange-sim"; }
    start_daemon
    scene=(
        '{"event":"CallArrived","callId":"1001","type":3,"ext":"201","from":{"user":"5551234"},"to":{"user":"201"}}'
        '{"event":"CDRArrived","cdrType":1,"cdr":{"duration":42,"calledUser":"201","callingUser":"5551234"}}'
        '{"control":"sync","token":"scene"}'
    )
    for line in "${scene[@]}"; do
        echo "exchange-sim <- $line"
        printf '%s\n' "$line" >&"${SIM[1]}"
    done
    while IFS= read -r -t 10 out <&"${SIM[0]}"; do
        echo "exchange-sim -> $out"
        case "$out" in *'"ack":"sync"'*) break ;; esac
    done
    printf '%s\n' '{"event":"ForcedAlert"}' >&"${SIM[1]}"
    if wait "$daemon_pid"; then echo "valtd stopped (exit code 0)"; fi
    daemon_pid=""
    exec {SIM[1]}>&-
    echo
    echo "Last lines of the log:"
    tail -n 15 "$root/tmp/logs/valtd.log"
fi
