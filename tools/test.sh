#!/usr/bin/env bash
# Sets up, builds and runs every test: the whole suite (with the power-cut
# sweeps), then the worker and interrupt-thread tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
jobs=$(nproc)

stage() { printf '\n== %s\n' "$*"; SECONDS=0; }
done_stage() { printf -- '-- %s s\n' "$SECONDS"; }

stage "Tests"
ctest --test-dir build --output-on-failure -j"$jobs"
done_stage

stage "Worker and interrupt-thread tests under ThreadSanitizer"
cmake -S . -B build-tsan -DLUMO_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j"$jobs" --target bcm2835_isr_tests bcm2835_worker_tests >/dev/null
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L threads
done_stage
