#!/usr/bin/env bash
# Line efficiency: a 256 KiB image sent to `orvanta-projector --baud 115200`, which paces the
# pseudo-terminal like a real line (8N1, 10 bits a byte), by `orvanta-cli send` and, side by
# side in the same run, by bench/minimal-sender (a blocking stop-and-wait sender in C, the
# least a sender can do per block) with the very same segment. The time from the first
# packet's first byte to the last ACK (the projector's first_packet_s and last_ack_s) is set
# against the line limit: the bytes on the wire in that time, times 10 bits, at 115200 baud.
# Each block is 133 bytes out and one reply byte back; each segment adds its EOT and that
# EOT's ACK, and each segment after the first its 'C'. Efficiency = limit / time.
# Targets: orvanta within 3% of the limit, and at least 0.99 of the minimal sender's
# efficiency (the ratio of the medians).
#
# Usage: bench/line-efficiency.sh [BUILD_DIR]   (default: build, as ./run makes it)
# RUNS (default 3) sets the number of rounds; each round is one transfer by each sender,
# about 24 s each, alternating which goes first.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/transfer-run.sh
transfer_setup "${1:-build}"
runs=${RUNS:-3}

# Prints "<efficiency> <report>" for one transfer by the sender named in $1.
measure() {
    local packets segments first last
    read -r packets segments first last < <(SENDER=$1 transfer_once --baud 115200)
    awk -v who="$1" -v p="$packets" -v s="$segments" -v f="$first" -v l="$last" 'BEGIN {
        wire = p * 134 + s * 2 + (s - 1)
        limit = wire * 10 / 115200
        span = l - f
        printf "%.6f %-8s %d blocks, %d wire bytes: %.4f s against the limit of %.4f s: +%.2f%% (%.0f us a block over), efficiency %.4f\n",
            limit / span, who, p, wire, span, limit, (span / limit - 1) * 100, (span - limit) / p * 1e6, limit / span
    }'
}

paired_rounds "$runs"
orvanta=$(median <"$work/orvanta")
minimal=$(median <"$work/minimal")
awk -v o="$orvanta" -v m="$minimal" 'BEGIN {
    printf "median efficiency: orvanta %.4f (%.2f%% over the limit; target within 3%%: %s)\n",
        o, (1 / o - 1) * 100, (1 / o - 1 <= 0.03 ? "met" : "MISSED")
    printf "median efficiency: minimal sender %.4f\n", m
    printf "orvanta / minimal sender: %.4f (target at least 0.99: %s)\n", o / m, (o / m >= 0.99 ? "met" : "MISSED")
}'
