#!/usr/bin/env bash
# Runs the recipes of docs/fleet.md as written (GNU parallel locally, GNU parallel over ssh,
# the Ansible playbook) against three simulated projectors, the third of which refuses every
# block, and checks that each recipe reports every port, the failed one included.
#
# Only paths change: /srv/firmware and /dev/serial/by-id become folders of a temporary tree
# (by-id holding links to the projectors' pseudo-terminals). "ssh" is the local machine, named
# by ":" in racks.txt as parallel allows; Ansible's hosts connect locally.
#
# Usage: fleet-recipes.sh CLI_DIR PROJECTOR FLEET_MD. Exit 77 (skipped) without parallel,
# jq or ansible-playbook.
set -euo pipefail

cli_dir=$(realpath "$1")
projector=$(realpath "$2")
fleet_md=$(realpath "$3")
for tool in parallel jq ansible-playbook; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/orvanta-recipes-XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
export PATH="$cli_dir:$PATH" PARALLEL_HOME="$work/parallel-home" HOME="$work/home"
mkdir -p "$HOME" "$PARALLEL_HOME"
touch "$PARALLEL_HOME/will-cite"
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

# The fenced blocks of language $2 under the heading $1 of fleet.md, into $3-1, $3-2, ...
extract() {
    awk -v heading="$1" -v fence="\`\`\`$2" -v prefix="$3" '
        /^##+ / { inside = ($0 == heading) }
        inside && $0 == fence { n++; capture = 1; next }
        capture && $0 == "```" { capture = 0; next }
        capture { print > (prefix "-" n) }
    ' "$fleet_md"
}

# The paths of this tree instead of the machine's.
localise() {
    sed -e "s|/srv/firmware|$work/srv/firmware|g" -e "s|/dev/serial/by-id|$work/by-id|g" "$1"
}

# The package: two files of a few blocks each.
make_package() {
    mkdir -p "$1"
    printf '[Version]\r\nFlashWrite=Enable\r\n[DownloadFiles]\r\nFile=main.hex\r\n' \
        >"$1/projector.inf"
    # 32 data records of 16 bytes: 512 bytes, four blocks.
    python3 - "$1/main.hex" <<'PY'
import sys
lines = []
for n in range(32):
    data = bytes((n * 16 + i) % 251 for i in range(16))
    record = bytes([16, (n * 16) >> 8, (n * 16) & 0xFF, 0]) + data
    lines.append(":" + record.hex().upper() + "%02X" % (-sum(record) & 0xFF))
lines.append(":00000001FF")
open(sys.argv[1], "w").write("\r\n".join(lines) + "\r\n")
PY
}

# Three projectors, the third refusing every block; their devices in ports.txt and as links
# in by-id/. Each serves one upgrade, so every recipe starts its own.
start_projectors() {
    rm -rf by-id ports.txt
    mkdir by-id
    for n in 1 2 3; do
        local fault=()
        [ "$n" = 3 ] && fault=(--nak-all)
        "$projector" "${fault[@]}" >"device-$n" 2>/dev/null &
        pids+=($!)
    done
    for n in 1 2 3; do
        for _ in $(seq 100); do [ -s "device-$n" ] && break; sleep 0.05; done
        [ -s "device-$n" ] || fail "projector $n did not start"
        head -n1 "device-$n" >>ports.txt
        ln -s "$(head -n1 "device-$n")" "by-id/usb-Acme_Serial_P$n-if00-port0"
    done
}

make_package "$work"
make_package "$work/firmware"
make_package "$work/srv/firmware"  # where the ssh recipe expects it deployed
extract "### GNU parallel" sh parallel
extract "### Ansible" yaml playbook
[ -f parallel-1 ] && [ -f parallel-2 ] && [ -f playbook-1 ] || fail "recipes not found in $fleet_md"

echo "== GNU parallel, local"
start_projectors
localise parallel-1 >recipe-local.sh
bash recipe-local.sh >local.out 2>local.err || true
cat local.out
for n in 1 2; do
    grep -qxF "$(sed -n "${n}p" ports.txt): Upgrade successful! " local.out || fail "port $n not reported"
done
grep -qE "^$(sed -n 3p ports.txt): Projector canceled connection\. the projector refused block 1" \
    local.out || fail "the failed port not reported with its detail"
[ "$(awk -F'\t' 'NR > 1 && $7 != 0' upgrade.log | wc -l)" = 1 ] || fail "joblog: not one failure"

echo "== GNU parallel, over ssh"
start_projectors
echo ":" >racks.txt
localise parallel-2 >recipe-ssh.sh
bash recipe-ssh.sh >ssh.out 2>ssh.err || fail "the ssh recipe failed: $(cat ssh.err)"
cat ssh.out
[ "$(wc -l <ssh.out)" = 3 ] || fail "not one done per port"
for n in 1 2 3; do
    expected=0
    [ "$n" = 3 ] && expected=6
    jq -se --arg port "$work/by-id/usb-Acme_Serial_P$n-if00-port0" --argjson result "$expected" \
        'map(select(.port == $port)) | length == 1 and
         (.[0] | .event == "done" and .result == $result and .host == ":")' \
        ssh.out >/dev/null || fail "port $n: no done with result $expected and its host"
done

echo "== Ansible"
start_projectors
localise playbook-1 >playbook.yml
{
    echo "[projector_racks]"
    echo "rack1 projector_ports='[\"$(sed -n 1p ports.txt)\"]'"
    echo "rack2 projector_ports='[\"$(sed -n 2p ports.txt)\", \"$(sed -n 3p ports.txt)\"]'"
    echo "[projector_racks:vars]"
    echo "ansible_connection=local"
    echo "ansible_python_interpreter=$(command -v python3)"
} >inventory
: >ansible.cfg
status=0
# Facts are not gathered: the playbook uses none, and gathering takes most of its time.
LC_ALL=C.UTF-8 ANSIBLE_CONFIG="$work/ansible.cfg" ANSIBLE_NOCOLOR=1 ANSIBLE_LOCAL_TEMP="$work/at" \
    ANSIBLE_GATHERING=explicit \
    ANSIBLE_REMOTE_TEMP="$work/at" ANSIBLE_RETRY_FILES_ENABLED=0 \
    ansible-playbook -i inventory --forks 2 playbook.yml >ansible.out 2>ansible.err || status=$?
cat ansible.out
[ "$status" = 2 ] || fail "ansible-playbook ended with $status, not 2 (a host failed): $(cat ansible.err)"
grep -qE '^rack1 +: ok=[0-9]+ +changed=[0-9]+ +unreachable=0 +failed=0' ansible.out ||
    fail "rack1 not a success"
grep -qE '^rack2 +: ok=[0-9]+ +changed=[0-9]+ +unreachable=0 +failed=1' ansible.out ||
    fail "rack2 not failed"
# The report of rack2 holds both of its ports, the refused one with result 6.
report=$(awk '/^TASK \[Report each port\]/ { on = 1; next } /^TASK / { on = 0 } on' ansible.out)
grep -qF "\"port\": \"$(sed -n 3p ports.txt)\"" <<<"$report" || fail "failed port missing in the report"
grep -qF '"result": 6' <<<"$report" || fail "result 6 missing in the report"
[ "$(grep -c '"event": "done"' <<<"$report")" = 3 ] || fail "not three ports in the report"
echo "all recipes report every port"
