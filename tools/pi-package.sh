#!/usr/bin/env bash
# Builds the updater's Debian package on the Raspberry Pi itself, for the
# Pi's own core: the route for the Pi 1, Zero, Zero W and Compute Module 1
# (ARMv6), which no published package covers, and for any Pi that builds
# its own. Run as root from the checkout. It installs the build
# dependencies, builds the lumo3update package alone (the build profile
# pkg.lumo3update.updater-only: no virtual board, no tests) with the
# project's flags and all of the Pi's cores, into build-deb/, and says how
# to install it. LUMO_DEB_DIR names another directory for it.
set -euo pipefail
cd "$(dirname "$0")/.."
# Without the virtual board there are no tests to build: nocheck, as a
# build profile (no test build dependencies) and as a build option.
profiles=pkg.lumo3update.updater-only,nocheck
if ! command -v dpkg-checkbuilddeps >/dev/null || ! dpkg-checkbuilddeps -P"$profiles" >/dev/null 2>&1; then
    . tools/apt-lists.sh
    install_packages build-essential cmake debhelper dpkg-dev qtbase5-dev
fi

out=${LUMO_DEB_DIR:-build-deb}
rm -rf "$out"
mkdir -p "$out/src"
# The build works on a copy, so that debhelper's files stay out of the
# checkout and the package out of its parent directory.
if [ -d .git ] && command -v git >/dev/null; then
    git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$out/src"
else
    tar --exclude="./$out" --exclude='./build*' -cf - . | tar -xf - -C "$out/src"
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
SECONDS=0
if ! (cd "$out/src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
        dpkg-buildpackage -b -us -uc -P"$profiles") >"$log" 2>&1; then
    tail -50 "$log"
    echo "pi-package: dpkg-buildpackage failed" >&2
    exit 1
fi
deb=$(cd "$out" && ls lumo3update_*.deb)
echo "pi-package: built $out/$deb in $SECONDS s; install it with: apt-get install ./$out/$deb"
