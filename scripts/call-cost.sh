#!/usr/bin/env bash
# CPU per "sendat": what the daemon's process executes for one command, and
# what our development broker executes to carry it, on modems that answer
# AT+CSQ at once. For 1 port with one persistent client and for 4 ports with
# 4 clients (one call in flight each), it prints per command:
#   - user instructions (valgrind's callgrind: every instruction the
#     process runs in user space, libc included; machine-independent),
#     the daemon's split into its event loop and its other threads;
#   - system calls by type (strace -f -c), failed ones (EAGAIN) included;
#   - voluntary context switches, all threads (/proc/PID/task/*/status),
#     in a run without any tool, since a tracer stops the process at every
#     system call.
# Each run starts a broker and a daemon and makes a window of SMALL calls,
# then another pair makes a window of LARGE calls; the difference of their
# totals divided by LARGE - SMALL (10,000 calls) is the run's figure, so
# start-up, warm-up (500 calls) and shutdown cancel out. Each figure is the
# median of RUNS runs.
#   ./scripts/call-cost.sh                 about 8 minutes on 2 idle cores
#   TARNEL_COST_RUNS=1 ./scripts/call-cost.sh      a quick look
# Goals are printed beside the figures, never asserted.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${TEST_PACKAGES[@]}" "${COST_PACKAGES[@]}"

# The tree scripts/bench.sh builds, configured the same way.
build=${TARNEL_COST_BUILD:-build-bench}
runs=${TARNEL_COST_RUNS:-5}
small=1000
large=11000
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_BENCH=ON \
      -DTARNEL_BUILD_TESTS=ON -DTARNEL_SYSTEM_UBUS=OFF -DTARNEL_SANITIZE= >/dev/null
cmake --build "$build" -j 2 --target tarnel-callcost >/dev/null
driver=$build/bench/tarnel-callcost

work=$(mktemp -d /tmp/tarnel-cost-XXXXXX)
# TARNEL_COST_KEEP=1 keeps the tools' reports (callgrind_annotate reads them).
if [ "${TARNEL_COST_KEEP:-0}" = 1 ]; then
    echo "call-cost: reports kept in $work" >&2
else
    trap 'rm -rf "$work"' EXIT
fi

# One window: driver output on stdout; the tools' reports in $work/$tag.*.
window() { # tag ports calls [driver options...]
    local tag=$1 ports=$2 calls=$3
    shift 3
    if ! "$driver" --ports "$ports" --calls "$calls" "$@" >"$work/$tag.out" 2>"$work/$tag.err"; then
        echo "call-cost: the window $tag failed:" >&2
        cat "$work/$tag.out" "$work/$tag.err" >&2
        exit 1
    fi
}

# "key value" lines of one window's totals.
callgrind_totals() { # tag
    local who f
    for who in daemon broker; do
        # --separate-threads: one file per thread, the first the main thread.
        for f in "$work/$1.$who.cg"-*; do
            awk -v who="$who" -v thread="${f##*-}" '
                /^totals:/ { n = $2 }
                END { print who ".instructions", n
                      if (who == "daemon") print (thread == "01" ? "daemon.instructions.loop" : "daemon.instructions.threads"), n }' "$f"
        done
    done
}

strace_totals() { # tag
    local who
    for who in daemon broker; do
        # "% time seconds usecs/call calls [errors] syscall"
        awk -v who="$who" '
            /^-|^%|total$/ { next }
            NF == 6 { print who ".syscalls", $4; print who ".sys." $6, $4; print who ".fail." $6, $5 }
            NF == 5 { print who ".syscalls", $4; print who ".sys." $5, $4 }' "$work/$1.$who.st"
    done
}

switch_totals() { # tag
    tr ' ' '\n' <"$work/$1.out" | awk -F= '$1 ~ /_vcsw$/ { sub(/_vcsw$/, "", $1); print $1 ".switches", $2 }'
}

sum_keys() { awk '{ s[$1] += $2 } END { for (k in s) print k, s[k] }'; }

# Per command of one run: (large window - small window) / (large - small).
per_command() { # small-file large-file
    awk -v d=$((large - small)) '
        FNR == NR { a[$1] = $2; next }
        { b[$1] = $2 }
        END { for (k in b) printf "%s %.4f\n", k, (b[k] - a[k]) / d }' "$1" "$2"
}

measure() { # ports run
    local ports=$1 run=$2 n tag
    for n in $small $large; do
        tag=cg.$ports.$run.$n
        window "$tag" "$ports" "$n" \
            --daemon-wrap "valgrind --tool=callgrind --separate-threads=yes --callgrind-out-file=$work/$tag.daemon.cg" \
            --broker-wrap "valgrind --tool=callgrind --separate-threads=yes --callgrind-out-file=$work/$tag.broker.cg"
        callgrind_totals "$tag" | sum_keys >"$work/totals.$ports.$run.$n"
        tag=st.$ports.$run.$n
        window "$tag" "$ports" "$n" --daemon-wrap "strace -f -c -o $work/$tag.daemon.st" \
            --broker-wrap "strace -f -c -o $work/$tag.broker.st"
        strace_totals "$tag" | sum_keys >>"$work/totals.$ports.$run.$n"
        tag=plain.$ports.$run.$n
        window "$tag" "$ports" "$n"
        switch_totals "$tag" >>"$work/totals.$ports.$run.$n"
    done
    per_command "$work/totals.$ports.$run.$small" "$work/totals.$ports.$run.$large" >"$work/per.$ports.$run"
}

for ports in 1 4; do
    for run in $(seq "$runs"); do
        echo "call-cost: $ports port(s), run $run of $runs" >&2
        measure "$ports" "$run"
    done
done

# The table: the median of the runs for each figure, side by side.
cat "$work"/per.* | cut -d' ' -f1 | sort -u >"$work/keys"
for ports in 1 4; do
    while read -r key; do
        printf '%s ' "$key"
        cat "$work"/per."$ports".* | awk -v k="$key" '$1 == k { print $2 }' | sort -g |
            awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
    done <"$work/keys" >"$work/median.$ports"
done
join <(sort "$work/median.1") <(sort "$work/median.4") | awk -v runs="$runs" -v d=$((large - small)) '
    { one[$1] = $2; four[$1] = $3; order[++keys] = $1 }
    function verdict(ok) { return ok ? "met" : "MISSED" }
    # 14744.3 -> "14,744"
    function whole(x,    s) {
        s = sprintf("%.0f", x)
        while (s ~ /[0-9][0-9][0-9][0-9]/) sub(/[0-9][0-9][0-9]($|,)/, ",&", s)
        return s
    }
    function row(label, key, fmt, goal,    line) {
        if (fmt == "whole")
            line = sprintf("   %-30s %12s %12s   %s", label, whole(one[key]), whole(four[key]), goal)
        else
            line = sprintf("   %-30s %12.2f %12.2f   %s", label, one[key], four[key], goal)
        sub(/ +$/, "", line)
        print line
    }
    function calls(who,    i, k, name, fail, note) {
        for (i = 1; i <= keys; i++) {
            k = order[i]
            if (index(k, who ".sys.") != 1 || (one[k] < 0.005 && four[k] < 0.005))
                continue
            name = substr(k, length(who ".sys.") + 1)
            fail = who ".fail." name
            note = (fail in one) && (one[fail] >= 0.005 || four[fail] >= 0.005) ? \
                sprintf("failed: %.2f / %.2f", one[fail], four[fail]) : ""
            if (name == "futex" && who == "daemon")
                note = note (note == "" ? "" : "; ") "goal < 0.05: " verdict(one[k] < 0.05 && four[k] < 0.05)
            row("  " name, k, "decimal", note)
        }
    }
    END {
        printf "CPU per sendat, AT+CSQ answered at once: mean of %s calls, median of %d run%s\n", whole(d), runs, runs == 1 ? "" : "s"
        printf "   %-30s %12s %12s\n", "", "1 port", "4 ports"
        printf "   %-30s %12s %12s\n", "", "1 client", "4 clients"
        print "   daemon (ubus-tarnel)"
        ratio = one["daemon.instructions"] > 0 ? four["daemon.instructions"] / one["daemon.instructions"] : 0
        row("user instructions", "daemon.instructions", "whole",
            "goal <= 8,000: " verdict(one["daemon.instructions"] <= 8000))
        row("  event loop", "daemon.instructions.loop", "whole", "")
        row("  port threads", "daemon.instructions.threads", "whole", "")
        row("system calls", "daemon.syscalls", "decimal", "goal <= 13: " verdict(one["daemon.syscalls"] <= 13))
        calls("daemon")
        row("voluntary context switches", "daemon.switches", "decimal",
            "goal <= 4: " verdict(one["daemon.switches"] <= 4))
        print "   broker (tarnel-busd)"
        row("user instructions", "broker.instructions", "whole", "")
        row("system calls", "broker.syscalls", "decimal", "")
        calls("broker")
        row("voluntary context switches", "broker.switches", "decimal", "")
        printf "   4 ports / 1 port, daemon instructions per command: %.3f; goal at most 5 %% more: %s\n", ratio,
            verdict(ratio <= 1.05)
    }'
