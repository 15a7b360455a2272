#!/usr/bin/env bash
# The guided demonstration: builds what is missing, prepares a sandbox root
# (./sandbox, or $VALTD_ROOT) with a demo configuration and a TLS certificate,
# starts exchange-sim as a call manager and valtd beside it, and walks through a
# short session with valtctl. Then it leaves the daemon running, prints the
# valtctl commands to try next, and stops everything on Ctrl-C.
#
#   scripts/demo.sh           plain TCP on port $VALTD_PORT (default 4849)
#   scripts/demo.sh --tls     the control server speaks TLS (certificate checked)
#   scripts/demo.sh --once    stop after the scripted session (for tests)
#
# VALTD_BUILD_DIR names a finished build to use instead of building.
# On a terminal, lines typed while the daemon runs go to exchange-sim as events
# (JSON lines, docs/exchange-sim.md).
set -euo pipefail
user_dir="$(pwd)"
cd "$(dirname "$0")/.."
repo="$(pwd)"

tls=false
once=false
for arg in "$@"; do
    case "$arg" in
        --tls) tls=true ;;
        --once) once=true ;;
        -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
        *) echo "demo.sh: unknown option $arg (try --help)" >&2; exit 2 ;;
    esac
done

root="${VALTD_ROOT:-$repo/sandbox}"
mkdir -p "$root"
root="$(cd "$root" && pwd)"
export VALTD_ROOT="$root"
port="${VALTD_PORT:-4849}"
demo="$root/tmp/demo"
mkdir -p "$demo"

if [ -n "${VALTD_BUILD_DIR:-}" ]; then
    # A build made elsewhere (the tests use their own).
    bin="$(cd "$VALTD_BUILD_DIR" && pwd)/bin"
else
    scripts/install-deps.sh
    # Only the four programs: the tests are built by the test command.
    log="$demo/build.log"
    echo "Building valtd, valtconf, valtctl and exchange-sim (about a minute the first time;"
    echo "progress in $log)..."
    dir="$(scripts/build.sh --programs 2>"$log" | tail -n 1)" || {
        echo "demo.sh: the build failed; see $log" >&2
        exit 1
    }
    bin="$repo/$dir/bin"
fi

# How a command is shown: relative to where the user started when that is the
# project folder, absolute otherwise, so that it can be pasted as printed.
shown_bin="$bin"
[ "$user_dir" = "$repo" ] && shown_bin="${bin#"$repo"/}"

if (exec 9<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "demo.sh: something already listens on port $port (another demo?)." >&2
    echo "         Stop it, or choose another port: VALTD_PORT=4949 scripts/demo.sh" >&2
    exit 1
fi

# --- The sandbox: configuration, accounts and a certificate -----------------
conf() { "$bin/valtconf" "$@" >/dev/null; }
conf init
conf set listen-port "$port"
conf set secure-listen "$tls"
conf set admin-user admin
conf set admin-password admin-secret
# The demo's three users are made afresh each time, each with a prompt folder;
# 201 has a greeting to play, and hello.wav is there to be uploaded.
for ext in 201 202 203; do
    "$bin/valtconf" remove extension "$ext" >/dev/null 2>&1 || true
    mkdir -p "$root/var/prompts/$ext"
    conf add-extension "$ext" --kind user --password secret --prompt-dir "$root/var/prompts/$ext/" \
        --prompt-share 10
done
# 201 takes 202's calls and watches the call records: with account-rights on
# (as init sets it for a new sandbox) that needs these grants.
conf grant 201 cdr any-extension
[ -f "$root/var/prompts/201/welcome.wav" ] || head -c 16044 /dev/zero >"$root/var/prompts/201/welcome.wav"
head -c 8044 /dev/zero >"$demo/hello.wav"
rm -f "$root/var/prompts/201/hello.wav"
if [ -f tools/fcgiclient/fcgiclient ]; then
    mkdir -p "$root/bin"
    install -m 0755 tools/fcgiclient/fcgiclient "$root/bin/fcgiclient"
fi
# What the unit's maker writes once: its identity and the software version.
[ -s "$root/etc/unique-id" ] || echo "SANDBOX-$(hostname)-$(date +%s)" >"$root/etc/unique-id"
[ -s "$root/etc/version.txt" ] || printf '%s\n' "# sandbox unit" "Version:1.0" \
    "Flavour:-sandbox" "Comment: valtd demo" >"$root/etc/version.txt"
cert="$root/etc/ssl.crt/server.crt"
key="$root/etc/ssl.key/server.key"
if [ ! -s "$cert" ] || [ ! -s "$key" ]; then
    mkdir -p "$(dirname "$cert")" "$(dirname "$key")"
    (umask 077 && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
        -days 365 -subj /CN=localhost -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
        -keyout "$key" -out "$cert" 2>/dev/null)
fi

conn=(--port "$port" --user 201 --password secret)
$tls && conn+=(--tls --ca "$cert")
shown_conn="--port $port --user 201 --password secret"
$tls && shown_conn+=" --tls --ca $cert"

# --- Processes ----------------------------------------------------------------
sim_pid=""
daemon_pid=""
background=()
cleanup() {
    trap - EXIT INT TERM
    for pid in "${background[@]}"; do kill "$pid" 2>/dev/null || true; done
    if [ -n "$daemon_pid" ]; then
        # Ctrl-C reaches valtd too, which may have stopped already.
        kill -TERM "$daemon_pid" 2>/dev/null || true
        wait "$daemon_pid" 2>/dev/null || true
        echo "valtd stopped."
    fi
    exec 3>&- 2>/dev/null || true # end of input: the simulator exits by itself
    if [ -n "$sim_pid" ]; then wait "$sim_pid" 2>/dev/null || true; fi
    rm -f "$demo/sim.in"
}
trap cleanup EXIT
trap 'echo; exit 0' INT
trap 'exit 143' TERM

# exchange-sim reads its events from a FIFO this script holds open, and every
# line it prints is kept in sim.out; the daemon's commands are also shown.
rm -f "$demo/sim.in" "$demo/sim.out"
mkfifo "$demo/sim.in"
: >"$demo/sim.out"
(
    # What the simulator complains of (a mistyped event line) is shown here too.
    "$bin/exchange-sim" <"$demo/sim.in" 2> >(tee -a "$demo/sim.err" | sed -u 's/^/      exchange-sim: /' >&2) |
        while IFS= read -r line; do
            printf '%s\n' "$line" >>"$demo/sim.out"
            case "$line" in *'"cmd"'*) printf '      exchange received: %s\n' "$line" ;; esac
        done
) &
sim_pid=$!
exec 3>"$demo/sim.in"

# wait_for TEXT [SECONDS]: until exchange-sim has printed a line containing TEXT.
wait_for() {
    local deadline=$((SECONDS + ${2:-10}))
    until grep -qF -- "$1" "$demo/sim.out"; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "demo.sh: exchange-sim did not print $1 in time" >&2
            exit 1
        fi
        sleep 0.05
    done
}
sync_count=0
sim() { printf '%s\n' "$1" >&3; }
sim_sync() {
    sync_count=$((sync_count + 1))
    sim "{\"control\":\"sync\",\"token\":\"demo-$sync_count\"}"
    wait_for "\"token\":\"demo-$sync_count\""
}

wait_for '"ready":true'
sim '{"control":"callManager","value":true}'
sim_sync

"$bin/valtd" >>"$demo/valtd.out" 2>&1 &
daemon_pid=$!
deadline=$((SECONDS + 10))
until (exec 9<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    if ! kill -0 "$daemon_pid" 2>/dev/null; then
        echo "demo.sh: valtd ended at start; its log: $root/tmp/logs/valtd.log" >&2
        tail -n 5 "$root/tmp/logs/valtd.log" >&2 || true
        daemon_pid=""
        exit 1
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
        echo "demo.sh: valtd is not listening on port $port after 10 s" >&2
        exit 1
    fi
    sleep 0.05
done

# --- The session ----------------------------------------------------------------
bold() { if [ -t 1 ]; then printf '\033[1m%s\033[0m' "$*"; else printf '%s' "$*"; fi; }
step() { printf '\n%s\n' "$(bold "$*")"; }
# show ARGS...: the command line as it can be pasted into a shell.
show() {
    local line="" arg
    for arg in "$@"; do
        case "$arg" in
            ";") line+=" ';'" ;;
            "&") line+=" &" ;;
            *) line+=" $(printf '%q' "$arg")" ;;
        esac
    done
    printf '  $ %s/valtctl %s%s\n' "$shown_bin" "$shown_conn" "$line"
}
ctl() {
    show "$@"
    "$bin/valtctl" "${conn[@]}" "$@" 2>&1 | sed -u 's/^/      /'
}
# ctl_bg LABEL ARGS...: a valtctl running beside the session; its lines are
# marked with LABEL.
ctl_bg() {
    local label="$1"
    shift
    show "$@" "&"
    "$bin/valtctl" "${conn[@]}" "$@" 2>&1 | sed -u "s/^/      [$label] /" &
    background+=($!)
}
wait_background() {
    local pid deadline=$((SECONDS + 15))
    for pid in "${background[@]}"; do
        while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.05; done
    done
    background=()
}

cat <<EOF

valtd demo
  sandbox root:     $root
  control server:   127.0.0.1:$port ($($tls && echo "TLS, certificate $cert" || echo "plain TCP"))
  accounts:         extensions 201, 202, 203 (password "secret"); administrator "admin" (password "admin-secret")
  daemon log:       $root/tmp/logs/valtd.log
  exchange-sim:     playing the call manager; the commands it receives are shown as "exchange received"
EOF

step "1. Authenticate and ask for the system's identity"
ctl sysinfo

step "2. Subscribe to call-detail records (runs beside the session until one record arrives)"
ctl_bg cdr subscribe --count 1 cdr
wait_for '"cmd":"SubscribeToCDR"'

step "3. Create a call from extension 201 to 0301234, watch it ring and connect, play a prompt, close it"
echo "   (one connection: the daemon ties a call to the connection that created it; when the"
echo "   call ends the exchange writes its record, and the subscriber of step 2 prints it)"
ctl create --id 7 pbx:201 tel:0301234 ';' wait --seconds 1 ';' play 7 welcome.wav ';' \
    wait --seconds 1 ';' close 7
wait_background

step "4. Take the incoming calls of extension 202 and accept them"
ctl_bg take take --answer accept --count 1 202
wait_for '"cmd":"IncomingCallHandling"'
echo "   A caller, 5551234, rings extension 202 (exchange-sim sends the call to the daemon):"
sim '{"event":"CallArrived","callId":"1001","type":3,"ext":"202","from":{"user":"5551234"},"to":{"user":"202"}}'
wait_for '"cmd":"AcceptCall"'
wait_background

step "5. A call that no client takes is left to the policy server"
echo "   None is configured here (valtconf set policy-server HOST), so the daemon accepts it:"
sim '{"event":"CallArrived","callId":"1002","type":3,"ext":"203","from":{"user":"5559876"},"to":{"user":"203"}}'
wait_for '"callId":"1002"'
sim_sync

if $once; then
    echo
    echo "The session is over; stopping."
    exit 0
fi

cat <<EOF

$(bold "The daemon keeps running. Try, from another terminal:")
  $shown_bin/valtctl $shown_conn sysinfo
  $shown_bin/valtctl $shown_conn create --watch pbx:201 tel:0301234
  $shown_bin/valtctl $shown_conn --json subscribe cdr
  $shown_bin/valtctl $shown_conn take 202
  $shown_bin/valtctl $shown_conn prompts list 0 201
  $shown_bin/valtctl $shown_conn prompts upload 0 201 $demo/hello.wav
  $shown_bin/valtctl --help
The sandbox's tools need its root: export VALTD_ROOT=$root
EOF
if [ -t 0 ]; then
    cat <<'EOF'
Events typed here go to the exchange simulator, one JSON line each; while "take 202"
runs elsewhere, offer it a call:
  {"event":"CallArrived","callId":"2001","type":3,"ext":"202","from":{"user":"5551234"},"to":{"user":"202"}}
Ctrl-C stops the daemon and the simulator.
EOF
    while kill -0 "$daemon_pid" 2>/dev/null; do
        if IFS= read -r -t 1 line; then
            [ -n "$line" ] && sim "$line"
        elif [ $? -le 128 ]; then
            echo "End of input."
            exit 0
        fi
    done
    echo "valtd ended by itself; its log: $root/tmp/logs/valtd.log"
    daemon_pid=""
else
    echo "Ctrl-C (or SIGTERM) stops the daemon and the simulator."
    while kill -0 "$daemon_pid" 2>/dev/null; do sleep 1; done
    echo "valtd ended by itself; its log: $root/tmp/logs/valtd.log"
    daemon_pid=""
fi
