#!/usr/bin/env bash
# Builds the source package and the binary packages with debhelper
# (tools/package-build.sh: the updater's for armhf and arm64, the board
# tool's for amd64, armhf and arm64), holds them to lintian (no error, no
# warning, the source package included), checks what each holds, depends on
# and is built for, and rates the unattended run's unit with systemd-analyze
# security. Then it installs the armhf updater package into a throwaway
# armhf Debian 12 root made by mmdebstrap and entered through qemu-user,
# letting apt resolve its dependencies, and runs it there as a user would:
# in an empty directory, on a machine without the SoC, it must print its
# start-up failure and exit with 255. The unit's steps are run there as
# systemd runs them, and the package is removed, reinstalled, purged and
# upgraded from a previous version with the unit's instances enabled.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/apt-lists.sh"
. "$(dirname "${BASH_SOURCE[0]}")/qemu-user.sh"
cd "$(dirname "$0")/.."

fail() { echo "package-test: $*" >&2; exit 1; }

bash tools/package-build.sh
echo "== lintian, on the source package and every binary package"
lintian --fail-on error,warning build-deb/*.changes || fail "lintian found errors or warnings"
[ -f build-deb/lumo3update_3.0.0~b.dsc ] || fail "no source package"
# The updater only where it runs; the board tool wherever it builds.
built=$(cd build-deb && ls ./*.deb | sed 's|^./||' | grep -v -- '-dbgsym_' | sort | tr '\n' ' ')
[ "$built" = "lumo3update-sim_3.0.0~b_amd64.deb lumo3update-sim_3.0.0~b_arm64.deb lumo3update-sim_3.0.0~b_armhf.deb \
lumo3update_3.0.0~b_arm64.deb lumo3update_3.0.0~b_armhf.deb " ] || fail "unexpected packages: $built"
for arch in amd64 armhf arm64; do
    deb=build-deb/lumo3update-sim_3.0.0~b_$arch.deb
    contents=$(dpkg-deb -c "$deb")
    for path in ./usr/bin/lumo3-board ./usr/share/man/man1/lumo3-board.1.gz ./usr/share/doc/lumo3update-sim/copyright; do
        grep -q " $path\$" <<<"$contents" || fail "lumo3update-sim ($arch) lacks $path"
    done
done
for arch in armhf arm64; do
    for package in lumo3update lumo3update-sim; do
        deb=build-deb/${package}_3.0.0~b_$arch.deb
        printf '%s\n  Depends: %s\n' "$(basename "$deb")" "$(dpkg-deb -f "$deb" Depends)"
        [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not for $arch"
        dpkg-deb -f "$deb" Depends | grep -q 'libqt5core5a (>= ' || fail "$deb does not depend on libqt5core5a"
    done
    dpkg-deb -f "build-deb/lumo3update_3.0.0~b_$arch.deb" Recommends | grep -qx 'python-is-python3' ||
        fail "lumo3update ($arch) does not recommend python-is-python3"
    contents=$(dpkg-deb -c "build-deb/lumo3update_3.0.0~b_$arch.deb")
    for path in ./usr/bin/lumo3update ./usr/libexec/lumo3update/lumo3update-firmware-left \
                ./lib/systemd/system/lumo3update@.service ./usr/share/man/man1/lumo3update.1.gz \
                ./usr/share/doc/lumo3update/README.Debian ./usr/share/doc/lumo3update/copyright ./var/lib/lumo3update/ \
                ./etc/lumo3update.conf; do
        grep -q " $path\$" <<<"$contents" || fail "lumo3update ($arch) lacks $path"
    done
    # An operator's setting of the board's FPGA survives upgrades.
    dpkg-deb --ctrl-tarfile "build-deb/lumo3update_3.0.0~b_$arch.deb" | tar -xO ./conffiles |
        grep -qx /etc/lumo3update.conf || fail "lumo3update ($arch) does not keep /etc/lumo3update.conf as a conffile"
    ! grep -q 'lumo3-board' <<<"$contents" || fail "lumo3update ($arch) holds the board tool"
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

echo "== The unattended run's unit: its exposure to the system"
# The unit as installed, under the name of its default instance.
units=$(mktemp -d)
dpkg-deb --fsys-tarfile build-deb/lumo3update_3.0.0~b_armhf.deb | tar -xO ./lib/systemd/system/lumo3update@.service \
    >"$units/lumo3update@var-lib-lumo3update.service"
systemd-analyze security --offline=true "$units/lumo3update@var-lib-lumo3update.service" | tail -1
# 4.0 on the tool's scale of 0 to 10, which --threshold counts in tenths.
systemd-analyze security --offline=true --threshold=40 "$units/lumo3update@var-lib-lumo3update.service" >/dev/null ||
    fail "the unit's exposure is above 4.0"
rm -rf "$units"

echo "== Installing lumo3update (armhf) into a fresh armhf Debian 12 root, through qemu-user"
enable_qemu_arm || fail "no armhf root can be entered here"
root=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$root" "$log" "$unpacked"' EXIT
deb=$(readlink -f build-deb/lumo3update_3.0.0~b_armhf.deb)
# The essential packages and systemd's tools; apt brings in what the package
# depends on, and nothing else of the host is there.
SECONDS=0
if ! mmdebstrap --quiet --arch=armhf --variant=essential --mode=root \
        --hook-dir=/usr/share/mmdebstrap/hooks/file-mirror-automount \
        --include="systemd,$deb" bookworm "$root" http://deb.debian.org/debian >"$log" 2>&1; then
    cat "$log"
    fail "mmdebstrap could not install the package"
fi
echo "-- armhf root in $SECONDS s"
chroot "$root" dpkg-query -W -f='${Package} ${Version}\n' lumo3update libqt5core5a
# The updater runs here as root: the root must give it no peripherals to map.
for device in mem gpiomem; do
    [ ! -e "$root/dev/$device" ] || fail "the root has /dev/$device; the updater is not run where it could map it"
done
[ ! -e "$root/proc/device-tree" ] || fail "the root shows a device tree"

status=0
chroot "$root" /bin/sh -c 'cd "$(mktemp -d)" && exec lumo3update' >"$root/out" 2>"$root/err" || status=$?
printf 'lumo3update in an empty directory -> %d\n' "$status"
cat "$root/out" "$root/err"
[ "$status" -eq 255 ] || fail "exit status $status, not 255"
# As root (off the Pi there is nothing to map): no question whether it is root.
[ "$(cat "$root/out")" = "bcm2835_spi_begin failed." ] || fail "unexpected standard output"
grep -qx 'lumo3update. Ver. 3.0.0b' "$root/err" || fail "no banner on standard error"

echo "== The unattended run's unit in the root"
chroot "$root" systemd-analyze verify lumo3update@var-lib-lumo3update.service
[ -L "$root/etc/systemd/system/multi-user.target.wants/lumo3update@var-lib-lumo3update.service" ] ||
    fail "the default instance was not enabled"
# Started exactly when the directory holds a name the updater recognises: the
# unit's conditions, then its ExecCondition command run as the unit runs it.
unit=$root/lib/systemd/system/lumo3update@.service
unit_step() { sed -n "s/^$1=//p" "$unit" | sed 's/\$\$/$/g'; }
in_directory() { chroot "$root" /bin/sh -c "cd /var/lib/lumo3update && $*"; }
starts_for() {
    rm -rf "$root/var/lib/lumo3update" && mkdir "$root/var/lib/lumo3update"
    [ $# -eq 0 ] || (cd "$root/var/lib/lumo3update" && touch "$@")
    chroot "$root" systemd-analyze condition --unit=lumo3update@var-lib-lumo3update.service >/dev/null 2>&1 &&
        in_directory "$(unit_step ExecCondition)"
}
! starts_for || fail "the unit would start with no firmware file"
! starts_for FW.BIT fw.Bin || fail "the unit would start for upper-case suffixes, which the updater does not recognise"
! starts_for fw.v2.bit .x.hex || fail "the unit would start for names the updater does not recognise"
starts_for FW.BIT radio.hex || fail "the unit would not start for radio.hex"
starts_for fw.bit || fail "the unit would not start for fw.bit"
# Its run ends at once when the board does not answer, and the unit with it.
status=0
in_directory "exec timeout 60 $(unit_step ExecStart)" >/dev/null 2>&1 || status=$?
[ "$status" -eq 255 ] || fail "lumo3update -wifany without the SoC ended with $status, not 255"
# After a run whose exit said nothing (-wifany on a Lumo3 ends with 0), the
# unit fails for every firmware file left behind, and names them.
status=0
in_directory "$(unit_step ExecStartPost)" 2>"$root/err" || status=$?
[ "$status" -eq 1 ] && grep -qx 'lumo3update: not applied, left in /var/lib/lumo3update for the next boot: fw.bit' "$root/err" ||
    fail "a firmware file left behind does not fail the unit ($status: $(cat "$root/err"))"
rm "$root/var/lib/lumo3update/fw.bit"
mkdir "$root/var/lib/lumo3update/dir.bit" && touch "$root/var/lib/lumo3update/FW.BIT"
in_directory "$(unit_step ExecStartPost)" >/dev/null || fail "the unit fails with every firmware file applied"
rm -r "$root/var/lib/lumo3update/dir.bit" "$root/var/lib/lumo3update/FW.BIT"
echo "unit verified, enabled, started exactly for recognised firmware files, fails without a board and for files left"

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
