#!/usr/bin/env bash
# The shape of the code, measured: what orvanta-cli links (no Qt library), the size of the tests
# against the code they test (target at most 40%), and the road of the layers (image -> link ->
# transfer -> wizard and tools): no file of a lower layer includes a header of a higher one.
#
# Usage: bench/code-shape.sh [BUILD_DIR]   (default: build, as ./run makes it)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
status=0

cli="$build/tools/orvanta-cli/orvanta-cli"
if [ -x "$cli" ]; then
    qt=$(ldd "$cli" | grep -ci 'libQt' || true)
    # A module loaded at run time does not show in ldd: count what it links too.
    for module in "$build"/tools/orvanta-cli/*.so; do
        [ -e "$module" ] && qt=$((qt + $(ldd "$module" | grep -ci 'libQt' || true)))
    done
    printf 'orvanta-cli links %d Qt libraries (target none: %s)\n' "$qt" "$([ "$qt" -eq 0 ] && echo met || echo MISSED)"
    [ "$qt" -eq 0 ] || status=1
else
    echo "no $cli: build first" >&2
    status=1
fi

lines() { git ls-files "$@" | xargs cat | wc -l; }
code=$(lines 'src/*.cpp' 'src/*.h' 'tools/*.cpp' 'tools/*.h' 'bench/*.cpp' 'bench/*.c')
tests=$(lines 'tests/*.cpp' 'tests/*.h')
awk -v c="$code" -v t="$tests" 'BEGIN {
    printf "test lines %d, code lines %d: %.1f%% (target at most 40%%: %s)\n", t, c, t / c * 100, (t / c <= 0.40 ? "met" : "MISSED")
}'
awk -v c="$code" -v t="$tests" 'BEGIN { exit !(t / c <= 0.40) }' || status=1

# Each header's layer is the folder it sits in; a file may include headers of its own layer and
# of the layers before it on the road.
declare -A rank=([image]=1 [link]=2 [transfer]=3 [wizard]=4 [tools]=4)
declare -A layer_of
while read -r header; do
    dir=${header#src/}
    dir=${dir%%/*}
    [ "${header%%/*}" = tools ] && dir=tools
    layer_of[$(basename "$header")]=$dir
done < <(git ls-files 'src/*.h' 'tools/*.h')
upward=0
for dir in image link transfer; do
    while read -r file; do
        while read -r included; do
            to=${layer_of[$included]:-}
            if [ -n "$to" ] && [ "${rank[$to]}" -gt "${rank[$dir]}" ]; then
                echo "upward include: $file includes $included ($to)"
                upward=$((upward + 1))
            fi
        done < <(sed -n 's/^#include "\(.*\)"/\1/p' "$file" | xargs -r -n1 basename)
    done < <(git ls-files "src/$dir/*.cpp" "src/$dir/*.h")
done
printf 'upward includes: %d (target none: %s)\n' "$upward" "$([ "$upward" -eq 0 ] && echo met || echo MISSED)"
[ "$upward" -eq 0 ] || status=1

# Qt in the plain layers: none of their files may include a Qt header.
qtincludes=$(git ls-files 'src/image/*' 'src/link/*' 'src/transfer/*' | xargs grep -l '#include <Q' || true)
printf 'Qt headers in src/image, src/link, src/transfer: %s\n' "${qtincludes:-none}"
[ -z "$qtincludes" ] || status=1
exit $status
