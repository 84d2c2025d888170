#!/usr/bin/env bash
# Soak on a noisy line: RUNS (default 1000) seeded runs of the sample package from
# `orvanta-cli send` to `orvanta-projector`, unpaced, the projector making about one stray byte
# (ACK, NAK or garbage, before or after its answer) per 200 packets and taking about one packet
# in 100 as damaged. Seed n is run n, so any run can be repeated alone:
#
#   orvanta-projector --seed N --stray-rate 0.005 --damage-rate 0.01 --expect PACKAGE
#
# Each run is one of three:
#   exact          send ended 0 and the projector holds every file byte for byte;
#   honest failure send ended with a failure code (whatever the projector holds);
#   false success  send ended 0 but some file is missing, short or different.
# Targets: 0 false successes, at least 95% exact deliveries.
#
# Usage: bench/soak.sh [BUILD_DIR]   (default: build). RUNS, JOBS (default: the processors),
# STRAY_RATE and DAMAGE_RATE change the defaults. The seeds of the runs that were not exact
# are listed with their detail line.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${RUNS:-1000}
jobs=${JOBS:-$(nproc)}
stray=${STRAY_RATE:-0.005}
damage=${DAMAGE_RATE:-0.01}

if [ ! -x "$build/tools/orvanta-cli/orvanta-cli" ] || [ ! -x "$build/tools/orvanta-projector/orvanta-projector" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" --target orvanta-cli orvanta-projector >/dev/null
fi
export cli projector package work stray damage
cli=$(realpath "$build/tools/orvanta-cli/orvanta-cli")
projector=$(realpath "$build/tools/orvanta-projector/orvanta-projector")
package=$(realpath examples/projector-fw/projector.inf)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One seeded run; prints "<seed> <class> <exit> <detail>".
soak_once() {
    local seed=$1 run="$work/$1" device="" status=0 detail
    mkdir -p "$run"
    "$projector" --seed "$seed" --stray-rate "$stray" --damage-rate "$damage" \
        --expect "$package" --dump "$run/dump" >"$run/device" 2>/dev/null &
    local pid=$!
    for _ in $(seq 500); do
        device=$(head -n 1 "$run/device" 2>/dev/null || true)
        [ -n "$device" ] && break
        sleep 0.01
    done
    "$cli" send "$package" --port "$device" --silence-timeout 10 -q >/dev/null 2>"$run/err" ||
        status=$?
    wait "$pid" || true
    detail=$(tail -n 1 "$run/err" | tr -s ' ')
    if [ "$status" -ne 0 ]; then
        echo "$seed honest-failure $status $detail"
    elif grep -q '^  "exact": true' "$run/dump/summary.json"; then
        echo "$seed exact 0"
    else
        echo "$seed FALSE-SUCCESS 0"
    fi
    rm -rf "$run"
}
export -f soak_once

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "$runs runs, stray bytes at $stray a packet, damaged packets at $damage, $jobs at a time"
seq "$runs" | xargs -P "$jobs" -I{} bash -c 'soak_once {}' >"$work/results"
exact=$(grep -c ' exact ' "$work/results" || true)
honest=$(grep -c ' honest-failure ' "$work/results" || true)
false_success=$(grep -c ' FALSE-SUCCESS ' "$work/results" || true)
grep -v ' exact ' "$work/results" | sort -n | sed 's/^/  seed /' || true
awk -v r="$runs" -v e="$exact" -v h="$honest" -v f="$false_success" 'BEGIN {
    printf "exact deliveries: %d of %d (%.1f%%; target at least 95%%: %s)\n", e, r, e * 100 / r, (e * 100 >= 95 * r ? "met" : "MISSED")
    printf "honest failures:  %d\n", h
    printf "false successes:  %d (target 0: %s)\n", f, (f == 0 ? "met" : "MISSED")
}'
