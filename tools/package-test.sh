#!/usr/bin/env bash
# Builds the Debian packages for amd64 (from build/) and armhf (from
# build-arm/, see tools/arm-test.sh) with CPack, checks what each holds and
# depends on, then installs the amd64 updater package into a throwaway
# Debian 12 root made by mmdebstrap, letting apt resolve its dependencies,
# and runs it there as a user would: in an empty directory, on a machine
# without the SoC, it must print its start-up failure and exit with 255.
# The unit of the unattended run is checked there too.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "package-test: $*" >&2; exit 1; }

log=$(mktemp)
trap 'rm -f "$log"' EXIT
for build in build build-arm; do
    if ! (cd "$build" && rm -f ./*.deb && cpack -G DEB) >"$log" 2>&1; then
        cat "$log"
        fail "cpack failed in $build"
    fi
done
for arch in amd64 armhf; do
    dir=build
    [ "$arch" = armhf ] && dir=build-arm
    for package in lumo3update lumo3update-sim; do
        deb=$(ls "$dir/${package}_"*"_$arch.deb")
        printf '%s\n  Depends: %s\n' "$(basename "$deb")" "$(dpkg-deb -f "$deb" Depends)"
        [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not for $arch"
        dpkg-deb -f "$deb" Depends | grep -q 'libqt5core5a (>= ' || fail "$deb does not depend on libqt5core5a"
    done
    contents=$(dpkg-deb -c "$dir/lumo3update_"*"_$arch.deb")
    for path in ./usr/bin/lumo3update ./usr/lib/systemd/system/lumo3update@.service \
                ./usr/share/doc/lumo3update/README.Debian ./var/lib/lumo3update/; do
        grep -q " $path\$" <<<"$contents" || fail "lumo3update ($arch) lacks $path"
    done
    ! grep -q 'lumo3-board' <<<"$contents" || fail "lumo3update ($arch) holds the board tool"
    dpkg-deb -c "$dir/lumo3update-sim_"*"_$arch.deb" | grep -q ' ./usr/bin/lumo3-board$' ||
        fail "lumo3update-sim ($arch) lacks the board tool"
done

echo "== Installing lumo3update (amd64) into a fresh Debian 12 root"
root=$(mktemp -d)
trap 'rm -rf "$root" "$log"' EXIT
deb=$(readlink -f build/lumo3update_*_amd64.deb)
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
[ "$(cat "$root/out")" = "bcm2835_spi_begin failed. Are you running as root??" ] || fail "unexpected standard output"
grep -qx 'lumo3update. Ver. 3.0.0b' "$root/err" || fail "no banner on standard error"

echo "== The unattended run's unit"
chroot "$root" systemd-analyze verify lumo3update@var-lib-lumo3update.service
[ -L "$root/etc/systemd/system/multi-user.target.wants/lumo3update@var-lib-lumo3update.service" ] ||
    fail "the default instance was not enabled"
# Started exactly when the directory holds a name the updater recognises: the
# unit's conditions, then its ExecCondition command run as the unit runs it.
unit=$root/usr/lib/systemd/system/lumo3update@.service
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
