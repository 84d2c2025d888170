#!/usr/bin/env bash
# Times `orvanta-cli build` of the 1,000,000-byte benchmark package against GNU objcopy
# converting the same HEX file to binary, side by side in one hyperfine run (whole processes,
# start-up included), and measures the minor page faults and peak memory of both. Targets:
# orvanta-cli at most half of objcopy's time, no more minor page faults than objcopy, its peak
# memory under 3x the HEX text.
#
# Usage: bench/build-vs-objcopy.sh [BUILD_DIR]   (default: build, as ./run makes it)
# RUNS (default 30) sets hyperfine's runs per command.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${RUNS:-30}
./scripts/install-deps --bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANTA_SANITIZE=OFF \
    -DORVANTA_TSAN=OFF >/dev/null
cmake --build "$build" --target orvanta-cli make-big-package >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build"/bench/make-big-package "$work"
cli=$(realpath "$build"/tools/orvanta-cli/orvanta-cli)
text_bytes=$(stat -c %s "$work/big.hex")

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
# -N: no shell in between, so start-up is the program's own and nothing is subtracted.
hyperfine -N --warmup 3 --runs "$runs" --export-csv "$work/times.csv" \
    -n orvanta-cli "$cli build $work/big.inf -o $work/out.bin" \
    -n objcopy "objcopy -I ihex -O binary $work/big.hex $work/objcopy.bin"

# Both must have converted the whole file: the image's CRC record checks out, and objcopy's
# output holds every data byte.
"$cli" info "$work/out.bin" | grep -q 'match' || { echo "orvanta-cli built a bad image" >&2; exit 1; }
[ "$(stat -c %s "$work/objcopy.bin")" -eq 1000000 ] || { echo "objcopy output short" >&2; exit 1; }

# CSV columns: command,mean,stddev,median,user,system,min,max
median() { awk -F, -v c="$1" '$1 == c { print $4 }' "$work/times.csv"; }
ours=$(median orvanta-cli)
theirs=$(median objcopy)

# Peak resident memory (KiB) and minor page faults as getrusage counts them (GNU time), the
# highest of five runs; perf stat's count (faults taken in user context only) when perf works.
usage() {
    local most_kib=0 most_faults=0 kib faults
    for _ in 1 2 3 4 5; do
        read -r kib faults < <(/usr/bin/time -f '%M %R' "$@" 2>&1 >/dev/null | tail -n 1)
        [ "$kib" -gt "$most_kib" ] && most_kib=$kib
        [ "$faults" -gt "$most_faults" ] && most_faults=$faults
    done
    echo "$most_kib $most_faults"
}
perf_faults() {
    perf stat -x, -e minor-faults -r 5 "$@" 2>&1 >/dev/null | awk -F, '/minor-faults/ { print $1 }'
}
read -r ours_kib ours_faults < <(usage "$cli" build "$work/big.inf" -o "$work/out.bin")
read -r theirs_kib theirs_faults < <(usage objcopy -I ihex -O binary "$work/big.hex" "$work/objcopy.bin")
ours_perf=$(perf_faults "$cli" build "$work/big.inf" -o "$work/out.bin" || true)
theirs_perf=$(perf_faults objcopy -I ihex -O binary "$work/big.hex" "$work/objcopy.bin" || true)

awk -v o="$ours" -v t="$theirs" -v ok="$ours_kib" -v tk="$theirs_kib" -v tb="$text_bytes" \
    -v of="$ours_faults" -v tf="$theirs_faults" -v op="${ours_perf:-n/a}" -v tp="${theirs_perf:-n/a}" 'BEGIN {
    ratio = o / t
    mem = ok * 1024 / tb
    printf "median: orvanta-cli %.2f ms, objcopy %.2f ms, orvanta-cli/objcopy = %.2f (target <= 0.5: %s)\n",
        o * 1000, t * 1000, ratio, (ratio <= 0.5 ? "met" : "MISSED")
    printf "minor page faults (getrusage, most of 5): orvanta-cli %d, objcopy %d (target <=: %s); perf stat: %s against %s\n",
        of, tf, (of <= tf ? "met" : "MISSED"), op, tp
    printf "peak memory: orvanta-cli %d KiB = %.2fx the %d-byte text (target < 3x: %s), objcopy %d KiB\n",
        ok, mem, tb, (mem < 3 ? "met" : "MISSED"), tk
}'
