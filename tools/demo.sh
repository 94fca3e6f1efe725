#!/usr/bin/env bash
# Sets up, builds, and walks through updates on virtual boards: a Lumo3 board
# (golden image, update image, a corrupt file refused, the unattended run
# with radio firmware), then a Mini Lumo board. After each step it shows what
# the board's FPGA runs and how long the step would take on the real board.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

board_tool=$PWD/build/sim/lumo3-board
demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
mkdir "$demo/work"
cd "$demo/work"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# The Mini Lumo erase prints spinner frames ended by carriage returns, which
# a terminal draws in place; folded here so the log stays readable.
updater() {
    printf '$ lumo3update %s\n' "$*"
    "$board_tool" run "$board" -- "$@" 2>&1 | sed -E $'s/(erasing\\.\\.\\. . \r)+/erasing... [spinner] /' ||
        printf '(exit status %d)\n' "${PIPESTATUS[0]}"
}
show() { "$board_tool" status "$board"; }

board=$demo/lumo3
step "A new Lumo3 board: erased flash, the FPGA runs nothing"
"$board_tool" create "$board" --kind lumo3
show

step "Sample files: two 1 MiB bitstreams and 16 KiB of radio firmware"
"$board_tool" make-bitstream golden.bit --bytes 1048576 --seed 1
"$board_tool" make-bitstream update.bit --bytes 1048576 --seed 2
ls -l

step "Write the golden image, the one that always stays"
updater -wgold golden.bit
show

step "Write an update image: verified first, then the switch word makes the FPGA boot it"
updater -wupdate update.bit
show

step "A bitstream with one bit flipped is refused before anything is erased"
"$board_tool" make-bitstream broken.bit --bytes 1048576 --seed 5 --corrupt
cp "$board/n25q256.img" "$demo/before.img"
updater -wupdate broken.bit
cmp -s "$demo/before.img" "$board/n25q256.img" && echo "The flash is byte for byte as it was."
rm "$demo/before.img" broken.bit
show

step "The unattended run: the last *.bit by name (update.bit, after newer.bit) becomes the golden image, every *.bit is deleted, the radio gets its firmware"
"$board_tool" make-bitstream newer.bit --bytes 1048576 --seed 3
"$board_tool" make-hex radio.hex --bytes 16384
# The AXSEM flasher is an external script; the board tool stands in for it.
"$board_tool" install-radio-flasher "$board" "$demo/bin"
PATH="$demo/bin:$PATH" updater -wifany
ls -l
show

board=$demo/minilumo
step "A new Mini Lumo board: erased flash, so the FPGA's DONE line is low"
"$board_tool" create "$board" --kind minilumo
"$board_tool" make-bitstream config.bin --bytes 1048576 --seed 4 --raw
show

step "The Mini Lumo update: erase, program, read back and compare, DONE check"
updater -wifany
show

step "Power the Mini Lumo off and on: the FPGA loads the new configuration"
"$board_tool" power-cycle "$board"
show
