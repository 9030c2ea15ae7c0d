#!/usr/bin/env bash
# Builds the daemon and runs it locally: our development broker, a simulated
# modem, ubus-tarnel and the web gateway with the modem console, all under
# one directory, until Ctrl-C.
#   TARNEL_RUN_DIR       where the socket, the modem link, its helper scripts
#                        and the gateway's log go (default /tmp/tarnel-dev)
#   TARNEL_WEB_PORT      the console's port on 127.0.0.1 (default 8080; 0 picks a free one)
#   TARNEL_WEB_PASSWORD  root's password there (default: a new random one)
#   TARNEL_BUILD_DIR     the build tree (default build; configured only when new)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

run_dir=${TARNEL_RUN_DIR:-/tmp/tarnel-dev}
build=${TARNEL_BUILD_DIR:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DTARNEL_BUILD_TESTS=OFF -DTARNEL_SYSTEM_UBUS=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target ubus-tarnel tarnel-busd tarnel-ubus tarnel-fakemodem tarnel-webgw

mkdir -p "$run_dir"
sock=$run_dir/ubus.sock
modem=$run_dir/ttyUSB2
control=$run_dir/ttyUSB2.control
web_log=$run_dir/webgw.log
cli="$build/tools/cli/tarnel-ubus -s $sock"
pids=()
# The last started goes first, so that nothing reports losing the broker.
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
}
trap cleanup EXIT INT TERM

fail() {
    echo "run-local: $*" >&2
    exit 1
}
# wait_for PID COMMAND...: until COMMAND succeeds, for 5 s at most, and only
# while PID runs.
wait_for() {
    local pid=$1
    shift
    for _ in $(seq 50); do
        "$@" && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# In a session of its own, so that Ctrl-C reaches it only through cleanup,
# once the others are gone.
setsid "$build"/tools/busd/tarnel-busd -s "$sock" &
pids+=($!)
wait_for "${pids[0]}" test -S "$sock" || fail "the broker did not start"

"$build"/tools/fakemodem/tarnel-fakemodem -c "$control" "$modem" &
pids+=($!)
wait_for "${pids[1]}" test -e "$modem" -a -p "$control" || fail "the simulated modem did not start"
# Helper scripts beside the modem, each writing one line to its control FIFO.
helper() {
    local name=$1 what=$2 line=$3 check=${4:-}
    cat >"$run_dir/$name" <<SCRIPT
#!/bin/sh
# $name: $what (the simulated modem at $modem)
$check
[ -p "$control" ] || { echo "$name: the simulated modem is not running" >&2; exit 1; }
echo $line >"$control"
SCRIPT
    chmod +x "$run_dir/$name"
}
helper ring "it rings" ring
helper sms "FROM TEXT...: a text message arrives (UCS2 when the text needs it, in parts when long)" '"sms $*"' \
    '[ $# -ge 2 ] || { echo "usage: sms FROM TEXT..." >&2; exit 2; }'
helper unplug "its port vanishes, as when a modem resets" unplug
helper replug "its port returns" replug
helper lock-sim "its SIM asks for the PIN 1234 (three wrong ones: PUK 12345678)" '"pin 1234"'

UBUS_SOCKET=$sock TARNEL_SHARE_DIR="$run_dir/shared" "$build"/core/ubus-tarnel &
pids+=($!)
wait_for "${pids[2]}" eval "$cli list tarnel >/dev/null 2>&1" || fail "ubus-tarnel did not start"

web_port=${TARNEL_WEB_PORT:-8080}
web_password=${TARNEL_WEB_PASSWORD:-$(head -c 6 /dev/urandom | od -An -tx1 | tr -d " \n")}
"$build"/tools/webgw/tarnel-webgw -s "$sock" -l "$web_port" -p "$web_password" -w www >"$web_log" 2>&1 &
pids+=($!)
# A port that is taken (another run-local.sh?) stops the gateway at once.
wait_for "${pids[3]}" grep -q '/tarnel/$' "$web_log" || {
    cat "$web_log" >&2
    fail "the web gateway did not start (its log: $web_log); another TARNEL_WEB_PORT may help"
}
web_url=$(sed -n 's|.*the console is at \(http://[^ ]*\)$|\1|p' "$web_log")

cat <<MSG

Broker socket: $sock
Simulated modem: $modem ($run_dir/ring rings it, $run_dir/sms FROM TEXT sends it a
  message, $run_dir/unplug and $run_dir/replug make the port vanish and return,
  $run_dir/lock-sim locks its SIM with the PIN 1234)
Try, from another terminal:
  $cli list -v
  $cli call tarnel open '{"at_port":"$modem"}'
  $cli call tarnel sendat '{"at_port":"$modem","at_cmd":"AT+CSQ"}'
  $cli call tarnel list
  $cli call tarnel sendat '{"at_port":"$modem","at_cmd":"AT+CMGS=\\"+15550100\\"","data":"Hello"}'
  $cli listen tarnel.urc tarnel.port      (then $run_dir/ring for a RING)
  $cli call tarnel close '{"at_port":"$modem"}'
Web console: $web_url  (user root, password $web_password; the gateway's log: $web_log)
Ctrl-C stops everything.

MSG
wait "${pids[2]}"
