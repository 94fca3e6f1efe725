#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages), then
# configures and builds into build/. Safe to run again: it installs only what
# is missing. Arguments go to cmake's configure step (tools/test.sh passes
# CI's options).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/apt-lists.sh"
cd "$(dirname "$0")/.."

# openssh-client and ansible-core: the fleet test runs the Ansible role in
# deploy/ansible against virtual boards, one of them over ssh.
packages=(cmake make g++ qtbase5-dev libgtest-dev openssh-client)
missing=()
# Qualified with the machine's architecture: once armhf packages of the same
# names are installed too (tools/hardening-setup.sh), a bare name is ambiguous.
arch=$(dpkg --print-architecture)
for p in "${packages[@]}"; do
    dpkg -s "$p:$arch" >/dev/null 2>&1 || missing+=("$p")
done
# Built for all architectures at once, so never ambiguous.
dpkg -s ansible-core >/dev/null 2>&1 || missing+=(ansible-core)
if [ ${#missing[@]} -gt 0 ]; then
    echo "== Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    install_packages "${missing[@]}"
fi

echo "== Building"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" && cmake --build build -j"$(nproc)"; } >"$log" 2>&1; then
    cat "$log"
    echo "== Build failed"
    exit 1
fi
echo "Built in build/"
