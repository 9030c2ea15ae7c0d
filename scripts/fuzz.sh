#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz) and runs each for
# SECONDS (default 30) on a scratch copy of its seed corpus, so the
# checked-in corpus never grows. A crash, sanitizer report or broken
# invariant in any target fails the run; the input that caused it is kept
# in build-fuzz/findings/<target>/ (replay: build-fuzz/fuzz/<target> FILE).
#   ./scripts/fuzz.sh [SECONDS]
# Needs clang and libclang-rt-14-dev (Debian).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"

seconds=${1:-30}
dir=build-fuzz
targets=(fuzz_bus_message fuzz_busd fuzz_end_flags fuzz_hex_decode fuzz_line_assembly fuzz_sms_pdu)

cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTARNEL_BUILD_FUZZ=ON -DTARNEL_BUILD_TESTS=OFF -DTARNEL_SYSTEM_UBUS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" >/dev/null
cmake --build "$dir" -j 2 --target "${targets[@]}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Each target runs on one processor: as many at once as there are.
run_one() {
    local t=$1
    "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
        -artifact_prefix="$dir/findings/$t/" -print_final_stats=1 "$scratch/$t" >"$scratch/$t.log" 2>&1
    echo $? >"$scratch/$t.status"
}
jobs=$(nproc 2>/dev/null || echo 2)
running=0
for t in "${targets[@]}"; do
    mkdir -p "$scratch/$t" "$dir/findings/$t"
    cp -R "fuzz/corpus/$t/." "$scratch/$t/"
    run_one "$t" &
    running=$((running + 1))
    if ((running >= jobs)); then
        wait -n || true
        running=$((running - 1))
    fi
done
wait
failed=()
for t in "${targets[@]}"; do
    echo "=== $t: ${seconds}s"
    if [ "$(cat "$scratch/$t.status")" = 0 ]; then
        grep -E '^stat::number_of_executed_units|^Done' "$scratch/$t.log" || true
    else
        tail -n 60 "$scratch/$t.log"
        echo "=== $t FAILED; input kept in $dir/findings/$t/"
        failed+=("$t")
    fi
done

if ((${#failed[@]})); then
    echo "fuzzing failed: ${failed[*]}" >&2
    exit 1
fi
echo "fuzzing passed: ${targets[*]}"
