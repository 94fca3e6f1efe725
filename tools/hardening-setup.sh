#!/usr/bin/env bash
# Installs what the hardening stages of tools/test.sh need beyond
# tools/setup.sh, all from Debian: clang with libFuzzer, the armhf cross
# compiler with Debian's armhf Qt 5 Core and GoogleTest (multiarch),
# qemu-user, and the tools that build and try the Debian packages. Safe to
# run again: it installs only what is missing.
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf

packages=(clang libclang-rt-dev
          g++-arm-linux-gnueabihf qtbase5-dev:armhf libgtest-dev:armhf qemu-user
          dpkg-dev mmdebstrap)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== Installing: ${missing[*]}"
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
