#!/usr/bin/env bash
# The randomized oracle run (tests/oracle): the daemon driven by many clients
# at once against simulated modems that answer late or never, in fragments,
# with prompts, unsolicited lines, long answers and vanishing device nodes;
# every reply is checked against the rule that no caller ever gets another
# command's answer. Runs on the AddressSanitizer build of scripts/test.sh,
# or on its plain build with TARNEL_ORACLE_BUILD=plain, building what it
# needs first. Only the plain build checks the daemon's resident memory at
# the end: the sanitizers' allocators hold freed memory back on purpose.
#   ./scripts/oracle.sh [SECONDS] [SEED]    default 60 s and a fresh seed
# The seed is printed first, each violation with the calls that show it, and
# one line at the end; the exit status is non-zero on any violation. Run a
# seed again to see the same calls and faults (the timing differs).
# TARNEL_ORACLE_DAEMON_LOG=FILE keeps the daemon's console lines in FILE.
# TARNEL_ORACLE_TRACE=FILE writes every byte the modems read and write,
# with their resets and plugs, and every call and reply, a line each,
# timed as the reports are.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${TEST_PACKAGES[@]}"

case ${TARNEL_ORACLE_BUILD:-asan} in
    asan) sanitize=address ;;
    plain) sanitize= ;;
    *) echo "TARNEL_ORACLE_BUILD must be asan or plain" >&2; exit 2 ;;
esac
dir=build-test-${TARNEL_ORACLE_BUILD:-asan}
cmake -S . -B "$dir" -DTARNEL_SANITIZE="$sanitize" -DTARNEL_SYSTEM_UBUS=OFF -DTARNEL_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target tarnel-oracle

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
args=(--seconds "${1:-60}")
[ -n "${2:-}" ] && args+=(--seed "$2")
[ "${TARNEL_ORACLE_ADVISORY:-0}" = 1 ] && args+=(--answers-advisory)
exec "$dir"/tests/oracle/tarnel-oracle "${args[@]}"
