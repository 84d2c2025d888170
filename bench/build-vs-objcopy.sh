#!/usr/bin/env bash
# Times `orvanta-cli build` of the 1,000,000-byte benchmark package against GNU objcopy
# converting the same HEX file to binary, side by side in one hyperfine run, and measures the
# peak memory of both. Target: orvanta-cli at least 2x faster, peak memory under 3x the text.
#
# Usage: bench/build-vs-objcopy.sh [BUILD_DIR]   (default: build, as ./run makes it)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
./scripts/install-deps --bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target orvanta-cli make-big-package >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build"/bench/make-big-package "$work"
cli=$(realpath "$build"/tools/orvanta-cli/orvanta-cli)
text_bytes=$(stat -c %s "$work/big.hex")

hyperfine --warmup 3 --runs 30 --export-csv "$work/times.csv" \
    -n orvanta-cli "$cli build $work/big.inf -o $work/out.bin" \
    -n objcopy "objcopy -I ihex -O binary $work/big.hex $work/objcopy.bin"

# CSV columns: command,mean,stddev,median,user,system,min,max
median() { awk -F, -v c="$1" '$1 == c { print $4 }' "$work/times.csv"; }
ours=$(median orvanta-cli)
theirs=$(median objcopy)

peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
ours_kib=$(peak "$cli" build "$work/big.inf" -o "$work/out.bin")
theirs_kib=$(peak objcopy -I ihex -O binary "$work/big.hex" "$work/objcopy.bin")

awk -v o="$ours" -v t="$theirs" -v ok="$ours_kib" -v tk="$theirs_kib" -v tb="$text_bytes" 'BEGIN {
    printf "median: orvanta-cli %.2f ms, objcopy %.2f ms, objcopy/orvanta-cli = %.2fx (target >= 2x)\n",
        o * 1000, t * 1000, t / o
    printf "peak memory: orvanta-cli %d KiB (%.2fx the %d-byte text; target < 3x), objcopy %d KiB\n",
        ok, ok * 1024 / tb, tb, tk
}'
