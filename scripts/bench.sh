#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them. They print one table:
#   1. sendat round trip on an instant modem against the pty floor
#   2. sendat throughput, one port and four ports round-robin
#   3. idle cost (CPU, wake-ups, threads) with 0, 1 and 8 open ports
#   4. resident set with 0, 1 and 8 open ports
#   5. head of line: "list" and "sendat" on another port while a call waits
#      on a silent modem, against the same calls with nothing waiting
#   6. concurrency: four modems answering after 20 ms, four clients at once,
#      against one port alone
#   7. unsolicited line latency, modem to a "tarnel.urc" listener
#   8. flood of 100,000 lines in 10 s: peak resident set, events published
#      and dropped, "list" latency meanwhile
#   9. hotplug: node removed until "list" shows the port closed, node back
#      until a "sendat" succeeds
# Goals are printed beside the figures, never asserted; the run takes a
# little over a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_BENCH=ON \
      -DTARNEL_BUILD_TESTS=OFF -DTARNEL_SYSTEM_UBUS=OFF -DTARNEL_SANITIZE= >/dev/null
cmake --build "$build" -j 2 --target tarnel-bench
"$build"/bench/tarnel-bench
