#!/usr/bin/env bash
# bash tools/target-test.sh [armhf|arm64]
#
# An ARM build on a real ARM kernel, as a Pi runs it. armhf (the default):
# Debian's own armhf kernel (linux-image-armmp) on QEMU's raspi2b machine, a
# Raspberry Pi 2. arm64: Debian's arm64 kernel (linux-image-arm64) on QEMU's
# raspi3b, a Raspberry Pi 3. QEMU models the BCM2835 GPIO controller and
# system timer of both; each boots with the device tree its kernel package
# ships. An initramfs holds busybox, the updater, the Qt runtime it loads and
# tests/target's checks, which run under the initramfs's /init and report
# on the serial console. One boot per way the kernel can stand:
#
#   StockKernel     Debian's command line: strict /dev/mem refuses the window
#   RelaxedKernel   iomem=relaxed: the window maps; the register layer is
#                   checked against QEMU's model and the kernel's clock, and
#                   the updater runs (QEMU has no SPI0, so its waits give up)
#   KernelOwnsSpi0  iomem=relaxed, SPI0 enabled in the device tree and the
#                   kernel's spi-bcm2835 bound to it
#
# Needs the cross build's packages (tools/hardening-setup.sh); installs
# QEMU's system emulator and the device-tree tools, and downloads the kernel
# and busybox packages without installing them. Works in build-target/
# (build-target-arm64/).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/apt-lists.sh"
cd "$(dirname "$0")/.."
arch=${1:-armhf}
case "$arch" in
armhf)
    work=build-target build=build-arm toolchain=cmake/armhf-linux-gnueabihf.cmake
    qemu=qemu-system-arm machine=raspi2b kernel_package=linux-image-armmp dtb_name=bcm2836-rpi-2-b.dtb
    loader=/lib/ld-linux-armhf.so.3 qemu_user=qemu-arm
    ;;
arm64)
    work=build-target-arm64 build=build-arm64 toolchain=cmake/arm64-linux-gnu.cmake
    qemu=qemu-system-aarch64 machine=raspi3b kernel_package=linux-image-arm64 dtb_name=broadcom/bcm2837-rpi-3-b.dtb
    loader=/lib/ld-linux-aarch64.so.1 qemu_user=qemu-aarch64
    ;;
*)
    echo "usage: tools/target-test.sh [armhf|arm64]" >&2
    exit 2
    ;;
esac

install_missing qemu-system-arm device-tree-compiler cpio

# The updater and the checks, from the build tools/arm-test.sh makes, or
# configured here the same way.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target lumo3update lumo3-target-tests >/dev/null

rm -rf "$work"
mkdir -p "$work/debs" "$work/kernel" "$work/busybox" "$work/root"
# The package that linux-image-armmp (linux-image-arm64) stands for today,
# e.g. linux-image-6.1.0-57-armmp.
kernel=$(apt-cache depends "$kernel_package:$arch" | awk '$1 == "Depends:" { print $2; exit }')
(cd "$work/debs" && apt-get download -q=2 -o APT::Sandbox::User=root "$kernel" "busybox-static:$arch")
dpkg-deb -x "$work"/debs/linux-image-*.deb "$work/kernel"
dpkg-deb -x "$work"/debs/busybox-static_*.deb "$work/busybox"
vmlinuz=$(echo "$work"/kernel/boot/vmlinuz-*)
dtb=$(echo "$work"/kernel/usr/lib/linux-image-*/"$dtb_name")
echo "== $(basename "$vmlinuz") on QEMU $($qemu --version | head -1 | awk '{ print $4 }') $machine"

# The same device tree with SPI0 enabled, as dtparam=spi=on gives a Pi.
dtc -q -I dtb -O dts "$dtb" | sed '/^\t\tspi@7e204000 {/,/};/ s/status = "disabled"/status = "okay"/' |
    dtc -q -I dts -O dtb -o "$work/spi0.dtb"
[ "$(fdtget "$work/spi0.dtb" /soc/spi@7e204000 status)" = okay ]

root=$work/root
mkdir -p "$root"/{bin,usr/bin,lib/modules,etc,proc,sys,dev,tmp,run}
printf 'root:x:0:0::/:/bin/sh\nuser:x:1000:1000::/tmp:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\nuser:x:1000:\n' >"$root/etc/group"
cp "$work/busybox/bin/busybox" "$root/bin/"
cp "$build/app/lumo3update" "$build/tests/target/lumo3-target-tests" "$root/usr/bin/"
# Each program's libraries, as the architecture's loader resolves them
# (under qemu-user).
for program in lumo3update lumo3-target-tests; do
    "$qemu_user" -L / "$loader" --list "$root/usr/bin/$program" |
        awk '$2 == "=>" { print $3 } $1 ~ /^\// { print $1 }'
done | sort -u | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
done
for module in watchdog/bcm2835_wdt spi/spi-bcm2835; do
    found=$(find "$work/kernel/lib/modules" -path "*/drivers/$module.ko*")
    case "$found" in
    *.xz) xz -dc "$found" >"$root/lib/modules/$(basename "$module").ko" ;;
    *) cp "$found" "$root/lib/modules/" ;;
    esac
done
cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin LANG=C.UTF-8
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /run/lock
chmod 1777 /tmp /run/lock
# QEMU ends at the power-off only through the watchdog's driver.
insmod /lib/modules/bcm2835_wdt.ko
suite=$(sed -n 's/.*lumo3\.suite=\([A-Za-z0-9]*\).*/\1/p' /proc/cmdline)
[ "$suite" = KernelOwnsSpi0 ] && insmod /lib/modules/spi-bcm2835.ko
/usr/bin/lumo3-target-tests --gtest_color=no --gtest_filter="$suite.*"
echo "lumo3-target: $suite exit $?"
poweroff -f
EOF
chmod 755 "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

failed=0
boot() {  # suite device-tree kernel-arguments
    local log=$work/$1.log
    SECONDS=0
    timeout 240 "$qemu" -M "$machine" -m 1G -kernel "$vmlinuz" -dtb "$2" -initrd "$work/initrd.gz" \
        -append "console=ttyAMA0 rdinit=/init quiet panic=-1 lumo3.target lumo3.suite=$1 $3" \
        -display none -monitor none -serial stdio -no-reboot </dev/null >"$log" 2>&1 || true
    if grep -q "^lumo3-target: $1 exit 0" "$log"; then
        echo "-- $1: $(grep -c '^\[       OK \]' "$log") checks passed in $SECONDS s"
    else
        echo "-- $1 failed after $SECONDS s:"
        sed -n '/^Note: Google Test filter/,$p' "$log"
        [ -s "$log" ] && tail -n 20 "$log"
        failed=1
    fi
}
boot StockKernel "$dtb" ""
boot RelaxedKernel "$dtb" "iomem=relaxed"
boot KernelOwnsSpi0 "$work/spi0.dtb" "iomem=relaxed"
exit "$failed"
