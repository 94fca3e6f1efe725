#!/usr/bin/env bash
# bash tools/virtual-fleet.sh DIR [LUMO3-BOARD]
#
# A fleet of virtual boards for the Ansible role, ready to roll out to: in the
# new directory DIR, three Lumo3 boards (golden image written, one with the
# radio flasher's stand-in) and one Mini Lumo board, firmware for them, and
# DIR/inventory.yml, which runs the role on this machine with the board tool
# as each board's updater. Then, from deploy/ansible:
#
#   ansible-playbook -i DIR/inventory.yml rollout.yml [--check] [--diff]
#
# LUMO3-BOARD is the board tool (default: lumo3-board on the PATH, else
# build/sim/lumo3-board of this checkout).
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: bash tools/virtual-fleet.sh DIR [LUMO3-BOARD]" >&2; exit 2; }
dir=$1
checkout=$(cd "$(dirname "$0")/.." && pwd)
tool=${2:-$(command -v lumo3-board || echo "$checkout/build/sim/lumo3-board")}
[ -x "$tool" ] || { echo "virtual-fleet: no board tool at $tool: build it (bash tools/setup.sh)" >&2; exit 1; }
tool=$(readlink -f "$tool")
[ ! -e "$dir" ] || { echo "virtual-fleet: $dir exists already" >&2; exit 1; }
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
mkdir "$dir/firmware" "$dir/boards"

"$tool" make-bitstream "$dir/firmware/golden.bit" --bytes 65536 --seed 7 >/dev/null
"$tool" make-bitstream "$dir/firmware/lumo3_top.bit" --bytes 262144 --seed 1 >/dev/null
"$tool" make-bitstream "$dir/firmware/minilumo_top.bin" --raw --bytes 262144 --seed 3 >/dev/null
"$tool" make-hex "$dir/firmware/axsem.hex" --bytes 16384 >/dev/null

lumo3=(station-north-01 station-north-02 station-east-01)
for host in "${lumo3[@]}" station-south-01; do
    kind=lumo3
    [ "$host" != station-south-01 ] || kind=minilumo
    "$tool" create "$dir/boards/$host" --kind "$kind" >/dev/null
    mkdir -p "$dir/fw/$host" "$dir/state/$host"
done
# A Lumo3 in the field holds its golden image; the rollout writes updates.
for host in "${lumo3[@]}"; do
    (cd "$(mktemp -d "$dir/work.XXXX")" && cp "$dir/firmware/golden.bit" . &&
        "$tool" run "$dir/boards/$host" -- -wgold golden.bit >/dev/null 2>&1 && rm -rf "$PWD")
done
"$tool" install-radio-flasher "$dir/boards/station-east-01" "$dir/bin/station-east-01" >/dev/null
touch "$dir/fw/station-east-01/serial_flasher.py"

host_vars() {
    local host=$1
    cat <<VARS
        $host:
          lumo3update_command: ["$tool", run, "$dir/boards/$host", "--"]
          lumo3update_firmware_dir: "$dir/fw/$host"
          lumo3update_state_dir: "$dir/state/$host"
          lumo3update_settings_file: "$dir/boards/$host/lumo3update.conf"
VARS
}
{
    cat <<HEAD
# Virtual boards made by tools/virtual-fleet.sh: the role runs on this
# machine (a local connection, no become) with the board tool as each
# board's updater and stand-ins for the package and architecture queries.
lumo3update_boards:
  vars:
    ansible_connection: local
    ansible_python_interpreter: "{{ ansible_playbook_python }}"
    ansible_become: false
    lumo3update_install: false
    lumo3update_version: 3.0.0~b
    lumo3update_package_query: [echo, installed, 3.0.0~b]
    lumo3update_architecture_query: [echo, armhf]
  children:
    lumo3_boards:
      vars:
        lumo3update_board: lumo3
        lumo3update_image: "$dir/firmware/lumo3_top.bit"
        lumo3update_fpga_idcode: "0x0362D093"
      hosts:
HEAD
    for host in "${lumo3[@]}"; do host_vars "$host"; done
    cat <<RADIO
          lumo3update_radio_firmware: "$dir/firmware/axsem.hex"
          lumo3update_environment: {PATH: "$dir/bin/station-east-01:/usr/bin:/bin"}
    minilumo_boards:
      vars:
        lumo3update_board: minilumo
        lumo3update_image: "$dir/firmware/minilumo_top.bin"
      hosts:
RADIO
    host_vars station-south-01
} >"$dir/inventory.yml"
echo "virtual fleet in $dir: ansible-playbook -i $dir/inventory.yml rollout.yml (from deploy/ansible)"
