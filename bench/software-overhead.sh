#!/usr/bin/env bash
# Software overhead: `orvanta-cli send` of a 256 KiB image to `orvanta-projector` on an unpaced
# pseudo-terminal, so the line adds nothing and what is left is the turn-around of the two
# programs: the time from the first packet's first byte to the last ACK (the projector's
# first_packet_s and last_ack_s) divided by the packets. Side by side, round by round (which
# goes first alternates), bench/minimal-sender sends the same segment to the same projector:
# a blocking stop-and-wait loop, the least any sender can do per block.
# Targets: under 150 us a block, and within 10 us a block of the minimal sender (medians).
#
# Usage: bench/software-overhead.sh [BUILD_DIR]   (default: build, as ./run makes it)
# RUNS (default 7) sets the number of rounds (one transfer by each sender).
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/transfer-run.sh
transfer_setup "${1:-build}"
runs=${RUNS:-7}

# Prints "<us a block> <report>" for one unpaced transfer by the sender named in $1.
measure() {
    local packets first last
    # shellcheck disable=SC2119  # no projector options: unpaced
    read -r packets _ first last < <(SENDER=$1 transfer_once)
    awk -v who="$1" -v p="$packets" -v f="$first" -v l="$last" 'BEGIN {
        printf "%.1f %-8s %d blocks in %.4f s: %.1f us a block\n", (l - f) / p * 1e6, who, p, l - f, (l - f) / p * 1e6
    }'
}

paired_rounds "$runs"
orvanta=$(median <"$work/orvanta")
minimal=$(median <"$work/minimal")
awk -v o="$orvanta" -v m="$minimal" 'BEGIN {
    printf "median: orvanta %.1f us a block (target under 150 us: %s)\n", o, (o < 150 ? "met" : "MISSED")
    printf "median: minimal sender %.1f us a block\n", m
    printf "orvanta - minimal sender: %+.1f us a block (target at most 10 us: %s)\n", o - m, (o - m <= 10 ? "met" : "MISSED")
}'
