#!/usr/bin/env bash
# USB adapters' latency timer: the sample package (examples/projector-fw/projector.inf) sent by
# `orvanta-cli send` to `orvanta-projector --baud 115200 --reply-latency MS`, which paces the
# pseudo-terminal like a real line and delivers each byte it sends MS ms after it crossed the
# line, as an adapter holds received bytes until its timer runs out. Rows: no adapter (0 ms),
# the timer orvanta sets (1 ms) and the chips' default (16 ms), side by side in each round.
# Each row's upgrade time (the projector's first packet to its last ACK) is set against the
# line's own time: the bytes on the wire in that span (133 bytes a block and its one-byte
# answer, each file's EOT and its ACK, each later file's 'C'), 10 bits a byte, at 115200 baud.
#
# Usage: bench/usb-latency.sh [BUILD_DIR]   (default: build, as ./run makes it)
# RUNS (default 3) sets the number of rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/transfer-run.sh
transfer_setup "${1:-build}"
runs=${RUNS:-3}
package=$(realpath examples/projector-fw/projector.inf)
files=$("$cli" info "$package" | sed -n 's/^Files: *\([0-9]*\) .*/\1/p')

# Prints "<seconds> <line seconds> <blocks>" for one upgrade with the latency given.
upgrade_once() {
    local run device=""
    run=$(mktemp -d "$work/run.XXXXXX")
    "$projector" --dump "$run/dump" --segments "$files" --baud 115200 --reply-latency "$1" \
        >"$run/device" &
    local pid=$!
    for _ in $(seq 500); do
        device=$(head -n 1 "$run/device")
        [ -n "$device" ] && break
        sleep 0.01
    done
    [ -n "$device" ] || { echo "orvanta-projector printed no device" >&2; kill "$pid"; exit 1; }
    "$cli" send "$package" --port "$device" --baud 115200 >/dev/null || { kill "$pid"; exit 1; }
    wait "$pid"
    local summary="$run/dump/summary.json"
    if ! grep -q '"complete": true' "$summary" || ! grep -q '"naks_sent": 0' "$summary"; then
        echo "the upgrade was not clean:" >&2
        cat "$summary" >&2
        exit 1
    fi
    awk -F': ' '/"index"/ { segments++ }
                /"packets"/ { packets = $2 + 0 }
                /"first_packet_s"/ { first = $2 + 0 }
                /"last_ack_s"/ { last = $2 + 0 }
                END { wire = packets * 134 + segments * 2 + (segments - 1)
                      printf "%.6f %.6f %d\n", last - first, wire * 10 / 115200, packets }' "$summary"
}

latencies="0 1 16"
for ms in $latencies; do : >"$work/ms$ms"; done
for round in $(seq "$runs"); do
    order=$latencies
    [ $((round % 2)) -eq 0 ] && order=$(echo "$latencies" | tr ' ' '\n' | tac | tr '\n' ' ')
    for ms in $order; do
        read -r seconds line blocks < <(upgrade_once "$ms")
        echo "$line" >"$work/line"
        awk -v r="$round" -v ms="$ms" -v t="$seconds" -v b="$blocks" -v l="$line" 'BEGIN {
            printf "round %d: %2d ms: %.3f s for %d blocks (line %.3f s, %.2f x)\n", r, ms, t, b, l, t / l }'
        echo "$seconds" >>"$work/ms$ms"
    done
done
line=$(cat "$work/line")
for ms in $latencies; do
    awk -v ms="$ms" -v t="$(median <"$work/ms$ms")" -v l="$line" 'BEGIN {
        printf "median at %2d ms: %.3f s, %.2f x the line'"'"'s own %.3f s\n", ms, t, t / l, l }'
done
