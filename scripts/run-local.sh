#!/usr/bin/env bash
# Builds the daemon and runs it locally: our development broker, a simulated
# modem, ubus-tarnel and the web gateway with the modem console, all under
# one directory, until Ctrl-C.
#   TARNEL_RUN_DIR       where the socket and the modem link go (default /tmp/tarnel-dev)
#   TARNEL_WEB_PORT      the console's port on 127.0.0.1 (default 8080)
#   TARNEL_WEB_PASSWORD  root's password there (default: a new random one)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

run_dir=${TARNEL_RUN_DIR:-/tmp/tarnel-dev}
build=build
cmake -S . -B "$build" -DTARNEL_BUILD_TESTS=OFF -DTARNEL_SYSTEM_UBUS=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target ubus-tarnel tarnel-busd tarnel-ubus tarnel-fakemodem tarnel-webgw

mkdir -p "$run_dir"
sock=$run_dir/ubus.sock
modem=$run_dir/ttyUSB2
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

"$build"/tools/busd/tarnel-busd -s "$sock" &
pids+=($!)
for _ in $(seq 50); do [ -S "$sock" ] && break; sleep 0.1; done

"$build"/tools/fakemodem/tarnel-fakemodem "$modem" &
pids+=($!)
for _ in $(seq 50); do [ -e "$modem" ] && break; sleep 0.1; done
# The modem sends an unsolicited RING on SIGUSR1.
printf '#!/bin/sh\nkill -USR1 %s\n' "${pids[1]}" >"$run_dir/ring"
chmod +x "$run_dir/ring"

UBUS_SOCKET=$sock "$build"/core/ubus-tarnel &
pids+=($!)

web_port=${TARNEL_WEB_PORT:-8080}
web_password=${TARNEL_WEB_PASSWORD:-$(head -c 6 /dev/urandom | od -An -tx1 | tr -d " \n")}
"$build"/tools/webgw/tarnel-webgw -s "$sock" -l "$web_port" -p "$web_password" -w www >/dev/null &
pids+=($!)

cli="$build/tools/cli/tarnel-ubus -s $sock"
cat <<MSG

Broker socket: $sock
Simulated modem: $modem
Try, from another terminal:
  $cli list -v
  $cli call tarnel open '{"at_port":"$modem"}'
  $cli call tarnel sendat '{"at_port":"$modem","at_cmd":"AT+CSQ"}'
  $cli call tarnel list
  $cli call tarnel sendat '{"at_port":"$modem","at_cmd":"AT+CMGS=\\"+15550100\\"","data":"Hello"}'
  $cli listen tarnel.urc tarnel.port      (then $run_dir/ring for a RING)
  $cli call tarnel close '{"at_port":"$modem"}'
Web console: http://127.0.0.1:$web_port/tarnel/  (user root, password $web_password)
Ctrl-C stops everything.

MSG
wait "${pids[2]}"
