#!/usr/bin/env bash
# Sets up, builds and runs every test: the whole suite (with the power-cut
# sweeps), the worker and interrupt-thread tests under ThreadSanitizer, the
# suite under AddressSanitizer with UndefinedBehaviorSanitizer, the fuzz
# targets, the armhf and arm64 builds with their tests under qemu-user, the
# armhf build on Debian's own armhf kernel in QEMU's raspi2b machine and the
# arm64 build on its arm64 kernel in raspi3b, the
# ARMv6, ARMv7 and AArch64 compile check of the register layer, the source
# and binary Debian packages with lintian, the boot unit's exposure, and an
# install, removal and upgrade test in an armhf root, and the Pi's own
# package route in an armhf Debian root under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
started=$(date +%s)

stage() { printf '\n== %s\n' "$*"; SECONDS=0; }
done_stage() { printf -- '-- %s s\n' "$SECONDS"; }

# The tests on the vendor's real bitstreams in ../shared fail, not skip, when
# the files are missing.
require_shared=-DLUMO_REQUIRE_SHARED_BITSTREAMS=ON

stage "Set-up and build"
# Line tables only (-g1): a quarter less compile time, and a failure's
# backtrace still names file and line.
bash tools/setup.sh "$require_shared" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
bash tools/hardening-setup.sh
done_stage

# Stages that are mostly one emulated process at a time (mmdebstrap's root
# and a build under qemu-user, QEMU's boots of a kernel) and the mirror's
# downloads run beside the others, which keep both cores busy: each starts
# as soon as what it needs is built, in a process group of its own, and its
# output is shown, in order, at the end. They install nothing on the host
# (tools/hardening-setup.sh has).
beside_names=()
beside_pids=()
beside_logs=()
beside() {  # NAME COMMAND...
    local log
    log=$(mktemp)
    setsid bash -c 'SECONDS=0; "$@" && echo "-- $SECONDS s"' bash "${@:2}" >"$log" 2>&1 &
    beside_names+=("$1")
    beside_pids+=("$!")
    beside_logs+=("$log")
}
trap 'for pid in "${beside_pids[@]}"; do kill -- -"$pid" 2>/dev/null || true; done; rm -f "${beside_logs[@]}"' EXIT

beside "The Pi's own package route in an armhf Debian root under qemu-user" bash tools/pi-route-test.sh

stage "Tests"
ctest --test-dir build --output-on-failure -j"$jobs"
done_stage

# Sanitizer builds at -O1 with line tables only compile several times faster
# than at -O2 with full debug information, and their reports still name file
# and line.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")

stage "Worker and interrupt-thread tests under ThreadSanitizer"
cmake -S . -B build-tsan -DLUMO_SANITIZE=thread "${sanitizer_flags[@]}" >/dev/null
cmake --build build-tsan -j"$jobs" --target bcm2835_isr_tests bcm2835_worker_tests >/dev/null
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L threads
done_stage

# The sweeps are thousands of whole updates; the rest of the suite reaches
# the same code. The fleet test is Ansible driving the board tool through
# whole updates that the suite's own tests already take. The end-to-end
# runs go through the worker-level board (LUMO_TESTS_AT_WORKER_LEVEL): the
# register stack's paths are the tests' made for it, and its megabytes of
# FIFO traffic for every blank check and verify would repeat them.
stage "Tests under AddressSanitizer and UndefinedBehaviorSanitizer, without the sweeps and the fleet"
cmake -S . -B build-asan -DLUMO_SANITIZE=address,undefined "$require_shared" "${sanitizer_flags[@]}" >/dev/null
cmake --build build-asan -j"$jobs" >/dev/null
ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 LUMO_TESTS_AT_WORKER_LEVEL=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE 'sweep|fleet'
done_stage

stage "Fuzzing, a minute per target from the committed seeds"
bash tools/fuzz.sh 60
done_stage

stage "armhf build, its tests under qemu-user, full-size updates against the native build"
bash tools/arm-test.sh armhf
done_stage

beside "The armhf build on Debian's armhf kernel in QEMU's raspi2b machine" bash tools/target-test.sh

stage "arm64 build, its tests under qemu-user"
bash tools/arm-test.sh arm64
done_stage

beside "The arm64 build on Debian's arm64 kernel in QEMU's raspi3b machine" bash tools/target-test.sh arm64

stage "ARMv6, ARMv7 and AArch64 compile check of the register layer"
bash tools/armv6-check.sh
done_stage

stage "Debian source and binary packages, lintian, the unit's exposure, installed, removed and upgraded in a fresh armhf Debian 12 root"
bash tools/package-test.sh
done_stage

failed=0
for i in "${!beside_pids[@]}"; do
    stage "${beside_names[$i]} (beside the stages above)"
    status=0
    wait "${beside_pids[$i]}" || status=$?
    cat "${beside_logs[$i]}"
    [ "$status" -eq 0 ] || { echo "== failed"; failed=1; }
    printf -- '-- waited %s s more\n' "$SECONDS"
done
[ "$failed" -eq 0 ] || exit 1

printf '\n== All stages passed in %s s\n' "$(($(date +%s) - started))"
