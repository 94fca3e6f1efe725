#!/usr/bin/env bash
# Builds the Debian packages for amd64, armhf and arm64 with debhelper
# (tools/package-build.sh), holds them to lintian (no error, no warning),
# checks what each holds, depends on and is built for, then installs the
# amd64 updater package into a throwaway Debian 12 root made by mmdebstrap,
# letting apt resolve its dependencies, and runs it there as a user would:
# in an empty directory, on a machine without the SoC, it must print its
# start-up failure and exit with 255. The unit of the unattended run is
# checked there too, and the package is removed, reinstalled, purged and
# upgraded from a previous version with the unit's instances enabled.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "package-test: $*" >&2; exit 1; }

bash tools/package-build.sh
debs=(build-deb/*.deb)
echo "== lintian"
lintian --fail-on error,warning "${debs[@]}" ||
    fail "lintian found errors or warnings"
for arch in amd64 armhf arm64; do
    for package in lumo3update lumo3update-sim; do
        deb=build-deb/${package}_3.0.0~b_$arch.deb
        printf '%s\n  Depends: %s\n' "$(basename "$deb")" "$(dpkg-deb -f "$deb" Depends)"
        [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not for $arch"
        dpkg-deb -f "$deb" Depends | grep -q 'libqt5core5a (>= ' || fail "$deb does not depend on libqt5core5a"
    done
    dpkg-deb -f "build-deb/lumo3update_3.0.0~b_$arch.deb" Recommends | grep -qx 'python-is-python3' ||
        fail "lumo3update ($arch) does not recommend python-is-python3"
    contents=$(dpkg-deb -c "build-deb/lumo3update_3.0.0~b_$arch.deb")
    for path in ./usr/bin/lumo3update ./lib/systemd/system/lumo3update@.service ./usr/share/man/man1/lumo3update.1.gz \
                ./usr/share/doc/lumo3update/README.Debian ./usr/share/doc/lumo3update/copyright ./var/lib/lumo3update/ \
                ./etc/lumo3update.conf; do
        grep -q " $path\$" <<<"$contents" || fail "lumo3update ($arch) lacks $path"
    done
    # An operator's setting of the board's FPGA survives upgrades.
    dpkg-deb --ctrl-tarfile "build-deb/lumo3update_3.0.0~b_$arch.deb" | tar -xO ./conffiles |
        grep -qx /etc/lumo3update.conf || fail "lumo3update ($arch) does not keep /etc/lumo3update.conf as a conffile"
    ! grep -q 'lumo3-board' <<<"$contents" || fail "lumo3update ($arch) holds the board tool"
    contents=$(dpkg-deb -c "build-deb/lumo3update-sim_3.0.0~b_$arch.deb")
    for path in ./usr/bin/lumo3-board ./usr/share/man/man1/lumo3-board.1.gz ./usr/share/doc/lumo3update-sim/copyright; do
        grep -q " $path\$" <<<"$contents" || fail "lumo3update-sim ($arch) lacks $path"
    done
done

echo "== What the Pi packages' updater is built for"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
for arch in armhf arm64; do
    dpkg-deb -x "build-deb/lumo3update_3.0.0~b_$arch.deb" "$unpacked/$arch"
done
readelf -h "$unpacked/arm64/usr/bin/lumo3update" | grep -q 'Machine:.*AArch64' || fail "the arm64 updater is no AArch64 binary"
attributes=$(readelf -A "$unpacked/armhf/usr/bin/lumo3update")
grep -E 'Tag_CPU_arch:|Tag_ABI_VFP_args' <<<"$attributes"
grep -q 'Tag_ABI_VFP_args: VFP registers' <<<"$attributes" || fail "the armhf updater is not hard-float"
# Debian's armhf is ARMv7, start-up code and libgcc included: the package
# refuses an ARMv6 Pi at installation instead of dying there.
fake=$(mktemp -d)
printf '#!/bin/sh\necho armv6l\n' >"$fake/uname" && chmod +x "$fake/uname"
dpkg-deb -e "build-deb/lumo3update_3.0.0~b_armhf.deb" "$unpacked/control"
! PATH="$fake:$PATH" sh "$unpacked/control/preinst" install 2>"$unpacked/refusal" ||
    fail "the armhf package's preinst accepts an ARMv6 Pi"
cat "$unpacked/refusal"
# The refusal comes from what the binary needs, read when it was built: a
# binary for any core of its architecture (as a Pi 1 builds it, or arm64's,
# whose every core runs it) is not refused.
dpkg-deb -e "build-deb/lumo3update_3.0.0~b_arm64.deb" "$unpacked/control64"
grep -qx 'NEEDS_CORE=' "$unpacked/control64/preinst" || fail "the arm64 package's preinst asks for a core"
PATH="$fake:$PATH" sh "$unpacked/control64/preinst" install || fail "a preinst that needs no core refuses ARMv6"
rm -rf "$fake"

echo "== Installing lumo3update (amd64) into a fresh Debian 12 root"
root=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$root" "$log" "$unpacked"' EXIT
deb=$(readlink -f build-deb/lumo3update_3.0.0~b_amd64.deb)
# The essential packages and systemd's tools; apt brings in what the package
# depends on, and nothing else of the host is there.
if ! mmdebstrap --quiet --variant=essential --mode=root \
        --hook-dir=/usr/share/mmdebstrap/hooks/file-mirror-automount \
        --include="systemd,$deb" bookworm "$root" http://deb.debian.org/debian >"$log" 2>&1; then
    cat "$log"
    fail "mmdebstrap could not install the package"
fi
chroot "$root" dpkg-query -W -f='${Package} ${Version}\n' lumo3update libqt5core5a

status=0
chroot "$root" /bin/sh -c 'cd "$(mktemp -d)" && exec lumo3update' >"$root/out" 2>"$root/err" || status=$?
printf 'lumo3update in an empty directory -> %d\n' "$status"
cat "$root/out" "$root/err"
[ "$status" -eq 255 ] || fail "exit status $status, not 255"
# As root (off the Pi there is nothing to map): no question whether it is root.
[ "$(cat "$root/out")" = "bcm2835_spi_begin failed." ] || fail "unexpected standard output"
grep -qx 'lumo3update. Ver. 3.0.0b' "$root/err" || fail "no banner on standard error"

echo "== The unattended run's unit"
chroot "$root" systemd-analyze verify lumo3update@var-lib-lumo3update.service
[ -L "$root/etc/systemd/system/multi-user.target.wants/lumo3update@var-lib-lumo3update.service" ] ||
    fail "the default instance was not enabled"
# Started exactly when the directory holds a name the updater recognises: the
# unit's conditions, then its ExecCondition command run as the unit runs it.
unit=$root/lib/systemd/system/lumo3update@.service
exec_condition=$(sed -n 's/^ExecCondition=//p' "$unit" | sed 's/\$\$/$/g')
starts_for() {
    rm -rf "$root/var/lib/lumo3update" && mkdir "$root/var/lib/lumo3update"
    [ $# -eq 0 ] || (cd "$root/var/lib/lumo3update" && touch "$@")
    chroot "$root" systemd-analyze condition --unit=lumo3update@var-lib-lumo3update.service >/dev/null 2>&1 &&
        chroot "$root" /bin/sh -c "cd /var/lib/lumo3update && $exec_condition"
}
! starts_for || fail "the unit would start with no firmware file"
! starts_for FW.BIT fw.Bin || fail "the unit would start for upper-case suffixes, which the updater does not recognise"
! starts_for fw.v2.bit .x.hex || fail "the unit would start for names the updater does not recognise"
starts_for fw.bit || fail "the unit would not start for fw.bit"
starts_for FW.BIT radio.hex || fail "the unit would not start for radio.hex"
# What the unit runs ends at once when the board does not answer.
status=0
chroot "$root" /bin/sh -c 'cd /var/lib/lumo3update && exec timeout 60 lumo3update -wifany' >/dev/null 2>&1 || status=$?
[ "$status" -eq 255 ] || fail "lumo3update -wifany without the SoC ended with $status, not 255"
echo "unit verified, enabled, started exactly for recognised firmware files, its run ends without a board"

echo "== Removal, reinstallation, purge and upgrade, with the unit's instances enabled"
wants=$root/etc/systemd/system/multi-user.target.wants
default=$wants/lumo3update@var-lib-lumo3update.service
other=$wants/lumo3update@srv-firmware.service
mkdir -p "$root/srv/firmware"
chroot "$root" systemctl enable lumo3update@srv-firmware.service >/dev/null 2>&1
[ -L "$other" ] || fail "an administrator's instance could not be enabled"
cp "$deb" "$root/tmp/current.deb"
chroot "$root" dpkg --remove lumo3update >/dev/null
[ -L "$other" ] && [ -L "$default" ] || fail "the removal disabled the unit's instances"
chroot "$root" dpkg --install /tmp/current.deb >/dev/null
[ -L "$other" ] && [ -L "$default" ] || fail "the reinstallation lost an enabled instance"
chroot "$root" systemd-analyze verify lumo3update@srv-firmware.service
chroot "$root" dpkg --purge lumo3update >/dev/null
[ ! -e "$default" ] || fail "the purge left the default instance enabled"
# A previous version, the same files under a lower version, with the
# default instance disabled by the administrator: the upgrade keeps it so.
previous=$(mktemp -d)
dpkg-deb -R "$deb" "$previous/tree"
sed -i 's/^Version: .*/Version: 3.0.0~a/' "$previous/tree/DEBIAN/control"
dpkg-deb -b "$previous/tree" "$root/tmp/previous.deb" >/dev/null
rm -rf "$previous"
chroot "$root" dpkg --install /tmp/previous.deb >/dev/null
[ -L "$default" ] || fail "a first installation did not enable the default instance"
chroot "$root" systemctl disable lumo3update@var-lib-lumo3update.service >/dev/null 2>&1
chroot "$root" dpkg --install /tmp/current.deb >/dev/null
[ "$(chroot "$root" dpkg-query -W -f='${Version}' lumo3update)" = 3.0.0~b ] || fail "the upgrade did not install 3.0.0~b"
[ ! -e "$default" ] || fail "the upgrade enabled the instance that the administrator disabled"
[ -L "$other" ] || fail "the upgrade lost the administrator's instance"
echo "removed, reinstalled, purged and upgraded; the administrator's choices kept"
