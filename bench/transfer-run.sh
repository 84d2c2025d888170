# shellcheck shell=bash
# Shared by line-efficiency.sh and software-overhead.sh (sourced, not run): builds what a
# transfer benchmark needs, makes the 256 KiB package, and runs one transfer of it from
# `orvanta-cli send` to `orvanta-projector` with the projector options given.
#
# After `transfer_setup BUILD_DIR`, `transfer_once OPTIONS...` prints one line
#   <packets> <segments> <first_packet_s> <last_ack_s>
# from the projector's summary.json, after checking that the run was complete and clean.
# The sender is `orvanta-cli send`, or with SENDER=minimal bench/minimal-sender with the
# file $work/segment.bin (the one segment of the image, as the projector dumped it; see
# line-efficiency.sh).

# Data bytes that make the benchmark image exactly 256 KiB (262,144 bytes) with the
# generator's layout: 110 bytes of records around the data.
TRANSFER_DATA_BYTES=262034

transfer_setup() {
    local build=$1
    ./scripts/install-deps --bench
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANTA_SANITIZE=OFF \
        -DORVANTA_TSAN=OFF >/dev/null
    cmake --build "$build" --target orvanta-cli orvanta-projector make-big-package minimal-sender \
        >/dev/null
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    "$build"/bench/make-big-package "$work" "$TRANSFER_DATA_BYTES" >/dev/null
    cli=$(realpath "$build"/tools/orvanta-cli/orvanta-cli)
    projector=$(realpath "$build"/tools/orvanta-projector/orvanta-projector)
    minimal=$(realpath "$build"/bench/minimal-sender)
    "$cli" info "$work/big.inf" | grep -q "^Image size: *262144 bytes" || {
        echo "the benchmark image is not 256 KiB:" >&2
        "$cli" info "$work/big.inf" >&2
        exit 1
    }
    echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
}

# Starts `orvanta-projector --dump RUN/dump OPTIONS...` in the background and waits for the
# device it prints: sets `device` and `pid`.
projector_start() {
    local run=$1
    shift
    device=""
    "$projector" --dump "$run/dump" "$@" >"$run/device" &
    pid=$!
    for _ in $(seq 500); do
        device=$(head -n 1 "$run/device")
        [ -n "$device" ] && break
        sleep 0.01
    done
    if [ -z "$device" ]; then
        echo "orvanta-projector printed no device" >&2
        kill "$pid"
        exit 1
    fi
}

# Waits for the projector started last, checks that RUN's transfer was complete and clean, then
# prints the fields of its summary.json as awk's END block (PROGRAM) has them: `segments`,
# `packets`, `first` (first packet, s), `last` (last ACK, s).
summary_read() {
    local run=$1 program=$2
    wait "$pid"
    local summary="$run/dump/summary.json"
    if ! grep -q '"complete": true' "$summary" || ! grep -q '"naks_sent": 0' "$summary"; then
        echo "the transfer was not clean:" >&2
        cat "$summary" >&2
        exit 1
    fi
    awk -F': ' '/"index"/ { segments++ }
                /"packets"/ { packets = $2 + 0 }
                /"first_packet_s"/ { first = $2 + 0 }
                /"last_ack_s"/ { last = $2 + 0 }
                END { '"$program"' }' "$summary"
}

transfer_once() {
    local run
    run=$(mktemp -d "$work/run.XXXXXX")
    # One segment per file: the projector ends after the last one's EOT is acknowledged.
    projector_start "$run" --segments 1 "$@"
    if [ "${SENDER:-orvanta}" = minimal ]; then
        "$minimal" "$device" "$work/segment.bin" || { kill "$pid"; exit 1; }
    elif ! "$cli" send "$work/big.inf" --port "$device" --baud 115200 >/dev/null; then
        kill "$pid"
        exit 1
    fi
    summary_read "$run" 'printf "%d %d %.6f %.6f\n", packets, segments, first, last'
}

# The median of the numbers on stdin, one a line.
median() {
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Runs $1 rounds of one transfer by each sender, alternating which goes first, through the
# caller's `measure SENDER` (which prints "<figure> <report>"); prints each round's report and
# leaves each sender's figures in $work/orvanta and $work/minimal, one a line.
paired_rounds() {
    : >"$work/orvanta"
    : >"$work/minimal"
    local round who order figure report
    for round in $(seq "$1"); do
        order="orvanta minimal"
        [ $((round % 2)) -eq 0 ] && order="minimal orvanta"
        for who in $order; do
            if [ "$who" = minimal ] && [ ! -f "$work/segment.bin" ]; then
                # The image's one segment, byte for byte as the projector received it from
                # orvanta-cli (every round starts with orvanta-cli until this file exists).
                cp "$(ls "$work"/run.*/dump/segment-1.bin | head -n 1)" "$work/segment.bin"
            fi
            read -r figure report < <(measure "$who")
            echo "round $round: $report"
            echo "$figure" >>"$work/$who"
        done
    done
}
