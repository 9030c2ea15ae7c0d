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
#  10. one command through a virtual port against the same command through
#      sendat: the median the virtual port adds
#  11. the randomized oracle run (tests/oracle) for 30 s with a fixed seed:
#      the calls per second it sustains, faults injected, and violations
#  12. CPU per sendat: instructions, system calls by type and voluntary
#      context switches per command, daemon and broker (scripts/call-cost.sh)
# Goals are printed beside the figures, never asserted; the run takes about
# ten minutes, eight of them for the last part (TARNEL_COST_RUNS=1 makes
# that two).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${TEST_PACKAGES[@]}"

build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_BENCH=ON \
      -DTARNEL_BUILD_TESTS=ON -DTARNEL_SYSTEM_UBUS=OFF -DTARNEL_SANITIZE= >/dev/null
cmake --build "$build" -j 2 --target tarnel-bench tarnel-oracle
"$build"/bench/tarnel-bench

oracle_seconds=30 oracle_seed=1
log="$build"/oracle.log
echo "bench: randomized oracle run, about $((oracle_seconds + 10)) s" >&2
"$build"/tests/oracle/tarnel-oracle --seconds "$oracle_seconds" --seed "$oracle_seed" >"$log" 2>&1 || true
# Its last line: "oracle: C calls, F faults injected, V violations, R calls/s".
read -r _ calls _ faults _ _ violations _ rate _ <<<"$(tail -n 1 "$log" | tr -d ,)"
printf '11. randomized oracle run, %d s, seed %d       calls/s violations\n' "$oracle_seconds" "$oracle_seed"
printf '   %-42s %8s %10s\n' "$calls calls, $faults faults injected" "$rate" "$violations"
if [ "$violations" = 0 ]; then
    echo "   goal: no violation: met"
else
    echo "   goal: no violation: MISSED (see $log)"
fi

echo "bench: CPU per sendat under callgrind and strace (scripts/call-cost.sh)" >&2
TARNEL_COST_BUILD="$build" ./scripts/call-cost.sh | sed '1s/^/12. /'
