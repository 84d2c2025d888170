#!/usr/bin/env bash
# Several ports in one send: the 256 KiB image sent by one `orvanta-cli send` to 1, 4 and 8
# `orvanta-projector --baud 115200`s at once (each pacing its own pseudo-terminal like a real
# line), `--port` once per projector. The whole send is timed as a process (start-up, load and
# build included) and its peak memory (maximum resident set, GNU time's %M) noted; every
# projector must have received its segment completely and without a NAK.
# Targets: 4 and 8 ports take at most 1.1 times as long as one port alone; memory grows by no
# more than a reader thread and its buffers per port (the extra peak divided by the extra
# ports is printed).
#
# Usage: bench/multi-port.sh [BUILD_DIR]   (default: build, as ./run makes it)
# RUNS (default 3) sets the number of rounds; PORTS (default "1 4 8") the port counts of a
# round. A round at 115200 baud takes about 24 s a port count.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/transfer-run.sh
transfer_setup "${1:-build}"
runs=${RUNS:-3}
counts=${PORTS:-1 4 8}

# Prints "<seconds> <peak KiB>" for one send to $1 projectors.
send_to() {
    local n=$1 run i device
    run=$(mktemp -d "$work/multi.XXXXXX")
    local pids=() ports=()
    for i in $(seq "$n"); do
        "$projector" --dump "$run/dump-$i" --segments 1 --baud 115200 >"$run/device-$i" &
        pids+=($!)
    done
    for i in $(seq "$n"); do
        device=""
        for _ in $(seq 500); do
            device=$(head -n 1 "$run/device-$i")
            [ -n "$device" ] && break
            sleep 0.01
        done
        if [ -z "$device" ]; then
            echo "orvanta-projector printed no device" >&2
            kill "${pids[@]}"
            exit 1
        fi
        ports+=(--port "$device")
    done
    if ! /usr/bin/time -f "%e %M" -o "$run/time" \
        "$cli" send "$work/big.inf" "${ports[@]}" --baud 115200 >"$run/out" 2>"$run/err"; then
        echo "the send failed:" >&2
        cat "$run/out" "$run/err" >&2
        kill "${pids[@]}" 2>/dev/null
        exit 1
    fi
    wait "${pids[@]}"
    for i in $(seq "$n"); do
        local summary="$run/dump-$i/summary.json"
        if ! grep -q '"complete": true' "$summary" || ! grep -q '"naks_sent": 0' "$summary"; then
            echo "projector $i: the transfer was not clean:" >&2
            cat "$summary" >&2
            exit 1
        fi
    done
    cat "$run/time"
}

for n in $counts; do
    : >"$work/time-$n"
    : >"$work/rss-$n"
done
for round in $(seq "$runs"); do
    for n in $counts; do
        read -r seconds kib < <(send_to "$n")
        echo "round $round: $n port(s): $seconds s, peak $kib KiB"
        echo "$seconds" >>"$work/time-$n"
        echo "$kib" >>"$work/rss-$n"
    done
done
first=${counts%% *}
base_time=$(median <"$work/time-$first")
base_rss=$(median <"$work/rss-$first")
for n in $counts; do
    t=$(median <"$work/time-$n")
    r=$(median <"$work/rss-$n")
    awk -v n="$n" -v t="$t" -v r="$r" -v bt="$base_time" -v br="$base_rss" -v f="$first" 'BEGIN {
        line = sprintf("median: %d port(s): %.2f s (%.3f x %d port), peak %d KiB", n, t, t / bt, f, r)
        if (n > f) {
            line = line sprintf(" (+%.0f KiB a port)", (r - br) / (n - f))
            line = line sprintf("; target at most 1.1 x: %s", (t / bt <= 1.1 ? "met" : "MISSED"))
        }
        print line
    }'
done
