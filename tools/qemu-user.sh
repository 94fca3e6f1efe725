# Sourced by the stages that make an armhf Debian root and run its programs
# on this machine: qemu-user-static registered with the kernel's binfmt_misc
# (mounted if need be), mmdebstrap to make the root. The registration lasts
# for the machine's life. Needs root, and apt-lists.sh sourced before.
enable_qemu_arm() {
    install_missing qemu-user-static binfmt-support arch-test mmdebstrap
    [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || {
        echo "binfmt_misc cannot be mounted here, so no armhf program runs in the root" >&2
        return 1
    }
    update-binfmts --enable qemu-arm 2>/dev/null || true
    [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] || {
        echo "qemu-arm is not registered with binfmt_misc" >&2
        return 1
    }
}
