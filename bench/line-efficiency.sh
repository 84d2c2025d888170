#!/usr/bin/env bash
# Line efficiency: `orvanta-cli send` of a 256 KiB image to `orvanta-projector --baud 115200`,
# which paces the pseudo-terminal like a real line (8N1, 10 bits a byte). The time from the
# first packet's first byte to the last ACK (the projector's first_packet_s and last_ack_s) is
# set against the line limit: the bytes on the wire in that time, times 10 bits, at 115200
# baud. Each block is 133 bytes out and one reply byte back; each segment adds its EOT and
# that EOT's ACK, and each segment after the first its 'C'. Target: within 3% of the limit.
#
# Usage: bench/line-efficiency.sh [BUILD_DIR]   (default: build, as ./run makes it)
# RUNS (default 3) sets the number of transfers; each takes about 24 s.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/transfer-run.sh
transfer_setup "${1:-build}"
runs=${RUNS:-3}

: >"$work/excess"
for _ in $(seq "$runs"); do
    read -r packets segments first last < <(transfer_once --baud 115200)
    read -r excess report < <(awk -v p="$packets" -v s="$segments" -v f="$first" -v l="$last" 'BEGIN {
        wire = p * 134 + s * 2 + (s - 1)
        limit = wire * 10 / 115200
        span = l - f
        printf "%.6f %d blocks, %d wire bytes: %.4f s against the limit of %.4f s: +%.2f%% (%.0f us a block over)\n",
            (span / limit - 1) * 100, p, wire, span, limit, (span / limit - 1) * 100, (span - limit) / p * 1e6
    }')
    echo "$report"
    echo "$excess" >>"$work/excess"
done
median <"$work/excess" | awk '{
    printf "median over the limit: %.2f%% (target within 3%%: %s)\n", $1, ($1 <= 3 ? "met" : "MISSED")
}'
