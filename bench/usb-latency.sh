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
    local run
    run=$(mktemp -d "$work/run.XXXXXX")
    projector_start "$run" --segments "$files" --baud 115200 --reply-latency "$1"
    "$cli" send "$package" --port "$device" --baud 115200 >/dev/null || { kill "$pid"; exit 1; }
    summary_read "$run" 'wire = packets * 134 + segments * 2 + (segments - 1)
                         printf "%.6f %.6f %d\n", last - first, wire * 10 / 115200, packets'
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
