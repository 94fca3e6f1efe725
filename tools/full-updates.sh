#!/usr/bin/env bash
# Full-size updates on virtual boards through one build's board tool, as a
# transcript: every run's exit status and output, the modelled time on the
# real board and checksums of the flash images and files read back. The
# largest images and ranges the boards take are used (4 MiB images, the
# whole 16 MiB that 3-byte addressing reaches), so that a build for another
# word size or architecture can be held against the native one line by line.
#
#   tools/full-updates.sh BOARD_TOOL [lumo3|minilumo] > transcript
#
# BOARD_TOOL is the lumo3-board to use, or a script that starts it (as under
# user-mode emulation). The second argument keeps to one board, so that the
# two can run side by side. Exits non-zero when a run does not end as a user
# of the real board would expect.
set -euo pipefail
tool=$(readlink -f "$1")
boards=${2:-lumo3 minilumo}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "full-updates: $*" >&2; exit 1; }
sum() { sha256sum "$1" | cut -c1-64; }
# The updater's run: exit status, standard output and standard error.
run() {
    local board=$1 expected=$2 status=0
    shift 2
    "$tool" run "$board" -- "$@" >out.txt 2>err.txt || status=$?
    printf '$ lumo3update %s -> %d\n' "$*" "$status"
    # The Mini Lumo erase draws a spinner in place with carriage returns.
    sed -E $'s/(erasing\\.\\.\\. . \r)+/erasing... [spinner] /' out.txt
    cat err.txt
    [ "$status" -eq "$expected" ] || fail "lumo3update $* ended with $status, not $expected"
}
status() {
    "$tool" status "$1" --json
}

lumo3() {
    echo "== Lumo3: the largest golden and update images"
    mkdir "$work/lumo3"
    cd "$work/lumo3"
    "$tool" create lumo3 --kind lumo3
    "$tool" make-bitstream golden.bit --bytes $((0x3FEFE0)) --seed 1
    "$tool" make-bitstream update.bit --bytes $((0x400000)) --seed 2
    run lumo3 0 -wgold golden.bit
    run lumo3 0 -wupdate update.bit
    status lumo3
    grep -q '"loaded": "update"' <(status lumo3) || fail "the FPGA does not run the update image"
    echo "flash $(sum lumo3/n25q256.img)"

    echo "== Lumo3: the whole reachable range read back, the last subsectors written"
    run lumo3 0 -r all.dat -add 0 -len 0x1000000
    [ "$(stat -c %s all.dat)" -eq $((0x1000000)) ] || fail "the 16 MiB read gave $(stat -c %s all.dat) bytes"
    [ "$(sum all.dat)" = "$(head -c $((0x1000000)) lumo3/n25q256.img | sha256sum | cut -c1-64)" ] ||
        fail "the 16 MiB read differs from the flash"
    head -c $((0x100000)) update.bit >tail.dat
    run lumo3 0 -w tail.dat -add 0xF00000 -len 0x100000
    cmp <(tail -c +$((0xF00000 + 1)) lumo3/n25q256.img | head -c $((0x100000))) tail.dat ||
        fail "the last MiB of the reachable flash does not hold the file"
    run lumo3 255 -r past.dat -add 0xFFFFFFFF -len 2
    run lumo3 255 -w tail.dat -add 0xFFFFFF -len 0x100000
    run lumo3 0 -boot
    status lumo3
    echo "flash $(sum lumo3/n25q256.img)"
}

minilumo() {
    echo "== Mini Lumo: a configuration that fills the flash"
    # A working directory of its own: the Lumo3 files would decide the board kind.
    mkdir "$work/mini"
    cd "$work/mini"
    "$tool" create minilumo --kind minilumo
    # The largest file the updater takes: the flash less its last 64 bytes.
    "$tool" make-bitstream config.bin --bytes $((0x400000 - 64)) --seed 3 --raw
    run minilumo 0 -wifany
    [ ! -e config.bin ] || fail "the applied configuration file was not deleted"
    "$tool" power-cycle minilumo
    status minilumo
    grep -q '"done": true' <(status minilumo) || fail "the FPGA's DONE line is not high after the power cycle"
    echo "flash $(sum minilumo/mx25l3206e.img)"
}

for board in $boards; do
    case $board in
        lumo3|minilumo) "$board" ;;
        *) fail "no board kind $board" ;;
    esac
done
