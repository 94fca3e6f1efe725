#!/usr/bin/env bash
# The README's fleet example on this machine: tools/virtual-fleet.sh makes the
# boards and their inventory, and the playbook's pre-flight passes on every
# board of it (the rollout itself is the rollout test's).
set -euo pipefail
tool=$1
checkout=$(cd "$(dirname "$0")/../.." && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
bash "$checkout/tools/virtual-fleet.sh" "$dir/fleet" "$tool"
cd "$checkout/deploy/ansible"
LUMO3UPDATE_REPORT_DIR=$dir ansible-playbook -i "$dir/fleet/inventory.yml" rollout.yml --tags preflight >"$dir/log" 2>&1 ||
    { cat "$dir/log"; exit 1; }
recap=$(sed -n '/PLAY RECAP/,$p' "$dir/log")
echo "$recap"
[ "$(grep -c 'failed=0' <<<"$recap")" -eq 4 ] || { echo "the pre-flight failed a virtual board" >&2; exit 1; }
