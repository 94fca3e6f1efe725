#!/usr/bin/env bash
# Sets up, builds, and updates a virtual Lumo3 board with a generated sample
# bitstream: golden image first, then an update image, showing after each
# step which image the board's FPGA boots.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

board_tool=$PWD/build/sim/lumo3-board
demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
mkdir "$demo/work"
cd "$demo/work"

step() { printf '\n== %s\n' "$*"; }

step "A new Lumo3 board with an erased flash"
"$board_tool" create "$demo/board" --kind lumo3
"$board_tool" status "$demo/board"

step "Sample bitstreams: golden.bit and update.bit (1 MiB of configuration data each)"
"$board_tool" make-bitstream golden.bit --bytes 1048576 --seed 1
"$board_tool" make-bitstream update.bit --bytes 1048576 --seed 2
ls -l

step "lumo3update -wgold golden.bit"
"$board_tool" run "$demo/board" -- -wgold golden.bit
"$board_tool" status "$demo/board"

step "lumo3update -wupdate update.bit"
"$board_tool" run "$demo/board" -- -wupdate update.bit
"$board_tool" status "$demo/board"
