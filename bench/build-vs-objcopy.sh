#!/usr/bin/env bash
# Times `orvanta-cli build` of the 1,000,000-byte benchmark package against GNU objcopy
# converting the same HEX file to binary, side by side in one hyperfine run (whole processes,
# start-up included), and measures the peak memory of both. Target: orvanta-cli at least 2x
# faster, its peak memory under 3x the HEX text.
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

# Peak resident memory (KiB), the highest of five runs.
peak() {
    local most=0 kib
    for _ in 1 2 3 4 5; do
        kib=$(/usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1)
        [ "$kib" -gt "$most" ] && most=$kib
    done
    echo "$most"
}
ours_kib=$(peak "$cli" build "$work/big.inf" -o "$work/out.bin")
theirs_kib=$(peak objcopy -I ihex -O binary "$work/big.hex" "$work/objcopy.bin")

awk -v o="$ours" -v t="$theirs" -v ok="$ours_kib" -v tk="$theirs_kib" -v tb="$text_bytes" 'BEGIN {
    ratio = t / o
    mem = ok * 1024 / tb
    printf "median: orvanta-cli %.2f ms, objcopy %.2f ms, objcopy/orvanta-cli = %.2fx (target >= 2x: %s)\n",
        o * 1000, t * 1000, ratio, (ratio >= 2 ? "met" : "MISSED")
    printf "peak memory: orvanta-cli %d KiB = %.2fx the %d-byte text (target < 3x: %s), objcopy %d KiB\n",
        ok, mem, tb, (mem < 3 ? "met" : "MISSED"), tk
}'
