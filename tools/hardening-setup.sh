#!/usr/bin/env bash
# Installs what the hardening stages of tools/test.sh need beyond
# tools/setup.sh, all from Debian: clang with libFuzzer, the armhf and arm64
# cross compilers with Debian's Qt 5 Core and GoogleTest for each
# (multiarch), qemu-user, and the tools that build, check and try the Debian
# packages in an armhf root (qemu-user-static with binfmt_misc), QEMU's
# system emulator for the boots of Debian's ARM kernels: all of it
# here, so that the stages that run side by side install nothing. Safe to
# run again: it installs only what is missing.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/apt-lists.sh"

export DEBIAN_FRONTEND=noninteractive
for arch in armhf arm64; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done

packages=(clang libclang-rt-dev
          g++-arm-linux-gnueabihf qtbase5-dev:armhf libgtest-dev:armhf
          g++-aarch64-linux-gnu qtbase5-dev:arm64 libgtest-dev:arm64 qemu-user
          dpkg-dev debhelper lintian mmdebstrap qemu-user-static binfmt-support arch-test
          qemu-system-arm device-tree-compiler cpio)
install_missing "${packages[@]}"
