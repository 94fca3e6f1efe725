#!/usr/bin/env bash
# bash tools/arm-test.sh [armhf|arm64]
#
# Cross-builds everything for armhf (32-bit ARM Linux, the boards' Pi) into
# build-arm/ with cmake/armhf-linux-gnueabihf.cmake, or for arm64 (the 64-bit
# Raspberry Pi OS) into build-arm64/ with cmake/arm64-linux-gnu.cmake, and
# runs the test suite there under qemu-user. For armhf it also holds
# full-size updates through the armhf board tool against the native build's
# (build/, from tools/setup.sh); the arm64 build is the same source on the
# same emulated registers, and its suite is what tells it apart.
#
# The end-to-end runs go through the worker-level board, as under the
# sanitizers; the register stack's own tests and the full-size updates
# below (armhf) hold it on this architecture.
#
# Left out under emulation, each for its reason:
# - the power-cut sweeps (label sweep): hundreds of whole updates, more
#   than half an hour under emulation, and the bad-input matrix
#   (bad_input_matrix): two minutes more under emulation for paths that the
#   end-to-end tests and the full-size updates below take too;
# - the fleet test (label fleet): Ansible on the host driving the board tool
#   through whole updates that the end-to-end tests take too;
# - BoardToolFaults.TheRadioFlasherStandInChecksAndLoadsTheHexFile: the
#   stand-in script that the board tool writes executes the board tool itself,
#   which without binfmt_misc the host cannot run.
#
# The build keeps line tables only (-g1): it compiles a quarter faster, and
# the packages are stripped anyway. The tests on the vendor's real
# bitstreams in ../shared fail, not skip, when the files are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
arch=${1:-armhf}
case "$arch" in
armhf) build=build-arm toolchain=cmake/armhf-linux-gnueabihf.cmake ;;
arm64) build=build-arm64 toolchain=cmake/arm64-linux-gnu.cmake ;;
*) echo "arm-test: no such architecture: $arch" >&2; exit 2 ;;
esac

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
           -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
           -DLUMO_REQUIRE_SHARED_BITSTREAMS=ON &&
       cmake --build "$build" -j"$jobs"; } >"$log" 2>&1; then
    cat "$log"
    echo "== $arch build failed"
    exit 1
fi
readelf -h "$build/app/lumo3update" | grep -E 'Class|Machine'

LUMO_TESTS_AT_WORKER_LEVEL=1 ctest --test-dir "$build" --output-on-failure -j"$jobs" -LE 'sweep|fleet' \
    -E '^(bad_input_matrix|BoardToolFaults\.TheRadioFlasherStandInChecksAndLoadsTheHexFile)$'

[ "$arch" = armhf ] || exit 0

echo "== Full-size updates: armhf under qemu-user against the native build"
native=$(mktemp)
arm=$(mktemp)
trap 'rm -f "$log" "$native" "$arm"' EXIT
bash tools/full-updates.sh build/sim/lumo3-board >"$native"
# The two boards side by side, one emulated process per core.
arm_mini=$(mktemp)
trap 'rm -f "$log" "$native" "$arm" "$arm_mini"' EXIT
bash tools/full-updates.sh build-arm/emulated/lumo3-board minilumo >"$arm_mini" &
mini=$!
bash tools/full-updates.sh build-arm/emulated/lumo3-board lumo3 >"$arm"
wait "$mini"
cat "$arm_mini" >>"$arm"
if ! diff -u "$native" "$arm"; then
    echo "== The armhf transcript differs from the native one"
    exit 1
fi
grep -E '^(==|\$ |flash )' "$arm"
