#!/usr/bin/env bash
# bash tools/pi-route-test.sh
#
# The Pi's own package route, as a Pi running Debian's armhf takes it: an
# armhf Debian 12 root (mmdebstrap) with the build dependencies, entered
# through qemu-user (qemu-user-static registered with the kernel's
# binfmt_misc), in which tools/pi-package.sh builds the updater's package
# from a copy of the checkout. The package must hold the updater and nothing
# of the virtual board, be clean under lintian, and, built by Debian's ARMv7
# armhf compiler, refuse an ARMv6 Pi. An ARMv6 build can be proven only on
# ARMv6 userland, which no Debian mirror has; tools/armv6-check.sh stands
# for it. Needs root. Works in build-pi-route/.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/apt-lists.sh"
. "$(dirname "${BASH_SOURCE[0]}")/qemu-user.sh"
cd "$(dirname "$0")/.."
fail() { echo "pi-route-test: $*" >&2; exit 1; }
work=build-pi-route

install_missing lintian
enable_qemu_arm || fail "no armhf root can be entered here"

rm -rf "$work"
mkdir -p "$work"
root=$work/root
log=$work/mmdebstrap.log
SECONDS=0
# Without the manual pages, translations and documents (the licences stay):
# the build needs none of them, and unpacking them and man-db's index of them
# under emulation is a third of the root's time.
if ! mmdebstrap --quiet --arch=armhf --variant=buildd --include=cmake,debhelper,qtbase5-dev,dpkg-dev \
        --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/locale/*' \
        --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright' \
        bookworm "$root" http://deb.debian.org/debian >"$log" 2>&1; then
    cat "$log"
    fail "mmdebstrap could not make the armhf root"
fi
echo "-- armhf root in $SECONDS s"
mkdir "$root/src"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$root/src"
chroot "$root" /bin/bash -c 'cd /src && bash tools/pi-package.sh'

deb=$root/src/build-deb/lumo3update_3.0.0~b_armhf.deb
[ -f "$deb" ] || fail "no armhf package: $(ls "$root/src/build-deb")"
contents=$(dpkg-deb -c "$deb")
grep -q ' ./usr/bin/lumo3update$' <<<"$contents" || fail "the package lacks the updater"
! grep -q 'lumo3-board' <<<"$contents" || fail "the package holds the board tool"
dpkg-deb -e "$deb" "$work/control"
grep -qx 'NEEDS_CORE=armv7' "$work/control/preinst" || fail "Debian's ARMv7 build does not refuse ARMv6"
lintian --fail-on error,warning "$deb" || fail "lintian found errors or warnings"
echo "-- $(basename "$deb"), built in the armhf root, holds the updater alone and refuses ARMv6"
rm -rf "$work"
