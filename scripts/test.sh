#!/usr/bin/env bash
# Builds and runs every test, under AddressSanitizer+UBSan and under
# ThreadSanitizer. Any failure or sanitizer report fails the run.
#   TARNEL_BUILDS="asan tsan"   which builds to run; "plain" is an unsanitized
#                               build, quickest for a first look
# Tests labelled "slow" (a real 30-second monitor cycle) are left out of the
# ThreadSanitizer run: they test timing of the cycle, not thread safety.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${TEST_PACKAGES[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
builds=${TARNEL_BUILDS:-asan tsan}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

# The sanitized builds are compiled without optimisation and with line
# tables only: their reports keep file and line, and they build in well
# under half the time (the tests mostly wait on modems and deadlines).
sanitized_flags=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O0 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O0 -g1 -DNDEBUG")
for kind in $builds; do
    case $kind in
        plain) sanitize="" ; skip=() ; flags=() ; bench=ON ;;
        asan) sanitize=address ; skip=() ; flags=("${sanitized_flags[@]}") ; bench=ON ;;
        tsan) sanitize=thread ; skip=(-LE slow) ; flags=("${sanitized_flags[@]}") ; bench=OFF ;;
        *) echo "unknown build kind: $kind" >&2; exit 2 ;;
    esac
    dir=build-test-$kind
    echo "=== $kind build"
    cmake -S . -B "$dir" -DTARNEL_SANITIZE="$sanitize" -DTARNEL_SYSTEM_UBUS=OFF -DTARNEL_BUILD_BENCH=$bench \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "=== $kind tests"
    # Most tests wait on modems and deadlines rather than compute: twice
    # as many at once as there are processors.
    ctest --test-dir "$dir" --output-on-failure -j "$((jobs * 2))" --timeout 300 "${skip[@]}"
done
