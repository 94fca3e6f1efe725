#!/usr/bin/env bash
# Compile-only check of the register layer and the pin worker above it for
# the cores the boards' Pis have: the ARM1176JZF-S of the first Pis (ARMv6KZ,
# ARM state, VFPv2, hard float, as Raspberry Pi OS builds for it), the
# ARMv7-A of the later ones (Thumb-2, as Debian's armhf builds) and the
# ARMv8-A of the 64-bit Raspberry Pi OS (AArch64, as Debian's arm64 builds).
#
# Each object must assemble for its core, which rejects every instruction the
# core lacks. Beyond that the barrier must be the core's own inline
# instruction: the CP15 barrier operation on ARMv6, which has no dmb, and
# dmb ish on ARMv7 and AArch64; a call into a helper (__sync_synchronize, __atomic_*)
# would mean an inline construct did not build for the core.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

flags=(-std=c++17 -O2 -Wall -Wextra -Werror -D_FILE_OFFSET_BITS=64 -Ibcm2835 -Ihw)
check() {
    local triplet=$1 name=$2 barrier=$3 shown=$4
    shift 4
    local cxx=$triplet-g++ objdump=$triplet-objdump
    for source in bcm2835/bcm2835.cpp hw/BCM2835_Pin_Worker.cpp; do
        local object="$out/$name-$(basename "$source" .cpp).o"
        "$cxx" "${flags[@]}" "$@" -c "$source" -o "$object"
        if "$objdump" -dr "$object" | grep -E '__sync_|__atomic_|__kernel_dmb|__aarch64_'; then
            echo "$name: $source calls an atomic helper instead of an inline instruction" >&2
            return 1
        fi
    done
    local count
    count=$("$objdump" -d "$out/$name-bcm2835.o" | grep -cE "$barrier" || true)
    if [ "$count" -eq 0 ]; then
        echo "$name: no $shown barrier in the register layer" >&2
        return 1
    fi
    printf '%s: register layer and pin worker build; %d inline barriers (%s)\n' "$name" "$count" "$shown"
}

check arm-linux-gnueabihf "ARMv6 (ARM1176JZF-S)" 'mcr[[:space:]]+15, 0, r[0-9]+, cr7, cr10, \{5\}' 'mcr p15, c7, c10, 5' \
    -mcpu=arm1176jzf-s -mfpu=vfp -mfloat-abi=hard -marm
check arm-linux-gnueabihf "ARMv7-A" 'dmb[[:space:]]+ish' 'dmb ish' \
    -march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -mthumb
check aarch64-linux-gnu "AArch64" 'dmb[[:space:]]+ish' 'dmb ish'
