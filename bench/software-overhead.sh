#!/usr/bin/env bash
# Software overhead: `orvanta-cli send` of a 256 KiB image to `orvanta-projector` on an unpaced
# pseudo-terminal, so the line adds nothing and what is left is the turn-around of the two
# programs: the time from the first packet's first byte to the last ACK (the projector's
# first_packet_s and last_ack_s) divided by the packets. Target: under 150 us a block.
#
# Usage: bench/software-overhead.sh [BUILD_DIR]   (default: build, as ./run makes it)
# RUNS (default 7) sets the number of transfers.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/transfer-run.sh
transfer_setup "${1:-build}"
runs=${RUNS:-7}

: >"$work/per-block"
for _ in $(seq "$runs"); do
    # shellcheck disable=SC2119  # no projector options: unpaced
    read -r packets _ first last < <(transfer_once)
    per_block=$(awk -v p="$packets" -v f="$first" -v l="$last" 'BEGIN { printf "%.1f", (l - f) / p * 1e6 }')
    echo "$packets blocks in $(awk -v f="$first" -v l="$last" 'BEGIN { printf "%.4f", l - f }') s: $per_block us a block"
    echo "$per_block" >>"$work/per-block"
done
median <"$work/per-block" | awk '{
    printf "median: %.1f us a block (target under 150 us: %s)\n", $1, ($1 < 150 ? "met" : "MISSED")
}'
