#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them: one table of sendat round
# trip against the pty floor, throughput, idle cost and resident set. The
# figures are printed, never asserted; the run takes about a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_BENCH=ON \
      -DTARNEL_BUILD_TESTS=OFF -DTARNEL_SYSTEM_UBUS=OFF -DTARNEL_SANITIZE= >/dev/null
cmake --build "$build" -j 2 --target tarnel-bench
"$build"/bench/tarnel-bench
