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
targets=(fuzz_bus_message fuzz_busd fuzz_end_flags fuzz_hex_decode fuzz_line_assembly)

cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTARNEL_BUILD_FUZZ=ON -DTARNEL_BUILD_TESTS=OFF -DTARNEL_SYSTEM_UBUS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j 2 --target "${targets[@]}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=()
for t in "${targets[@]}"; do
    findings="$dir/findings/$t"
    mkdir -p "$scratch/$t" "$findings"
    cp -R "fuzz/corpus/$t/." "$scratch/$t/"
    echo "=== $t: ${seconds}s"
    if "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
            -artifact_prefix="$findings/" -print_final_stats=1 "$scratch/$t" >"$scratch/$t.log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^Done' "$scratch/$t.log" || true
    else
        tail -n 60 "$scratch/$t.log"
        echo "=== $t FAILED; input kept in $findings/"
        failed+=("$t")
    fi
done

if ((${#failed[@]})); then
    echo "fuzzing failed: ${failed[*]}" >&2
    exit 1
fi
echo "fuzzing passed: ${targets[*]}"
