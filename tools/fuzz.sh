#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/, and runs each for a bounded
# time from its committed seed corpus, two at a time (one per core).
#
#   tools/fuzz.sh [SECONDS]     (default 60 per target)
#
# What a run adds to the corpus stays in build-fuzz/corpus; an input that
# crashes a target or breaks one of its properties is kept in
# build-fuzz/artifacts and fails the run. Turn such an input into a test of
# the normal suite before fixing what it found.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(bitstream_fuzzer command_line_fuzzer intel_hex_fuzzer device_models_fuzzer)

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { CC=clang CXX=clang++ cmake -S . -B build-fuzz -DLUMO_FUZZ=ON -DLUMO_BUILD_TESTS=OFF \
           -DLUMO_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"; } >"$log" 2>&1; then
    cat "$log"
    echo "== Fuzz build failed"
    exit 1
fi

mkdir -p build-fuzz/artifacts
run() {
    local target=$1
    mkdir -p "build-fuzz/corpus/$target"
    # The first directory takes what the run finds; the seeds stay as committed.
    ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$target-" \
        "build-fuzz/corpus/$target" "fuzz/corpus/$target" >"build-fuzz/$target.log" 2>&1
}

failed=0
pids=()
for target in "${targets[@]}"; do
    run "$target" &
    pids+=("$!:$target")
    if [ ${#pids[@]} -ge "$(nproc)" ]; then
        entry=${pids[0]}
        pids=("${pids[@]:1}")
        wait "${entry%%:*}" || { failed=1; echo "${entry#*:}: FAILED, see build-fuzz/${entry#*:}.log"; }
    fi
done
for entry in "${pids[@]}"; do
    wait "${entry%%:*}" || { failed=1; echo "${entry#*:}: FAILED, see build-fuzz/${entry#*:}.log"; }
done

for target in "${targets[@]}"; do
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build-fuzz/$target.log")
    corpus=$(find "build-fuzz/corpus/$target" "fuzz/corpus/$target" -type f | wc -l)
    printf '%-22s %10s runs in %s s, corpus %s inputs\n' "$target" "${runs:-?}" "$seconds" "$corpus"
done
if [ "$failed" -ne 0 ]; then
    ls -l build-fuzz/artifacts
    exit 1
fi
