# Cross-building for the boards' Raspberry Pi, 32-bit ARM Linux (armhf), with
# Debian's cross compiler and Debian's armhf libraries installed through
# multiarch (dpkg --add-architecture armhf; qtbase5-dev:armhf):
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-linux-gnueabihf.cmake
#
# Headers and libraries of the target live beside the host's under
# /usr/include/arm-linux-gnueabihf and /usr/lib/arm-linux-gnueabihf, so the
# library architecture is what keeps find_package() on the armhf ones.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Test binaries run on the build machine through user-mode emulation when
# qemu-user is there, without binfmt_misc. They load the target's own C and
# C++ runtime, installed through multiarch at the places a Pi has them
# (/lib/ld-linux-armhf.so.3, /usr/lib/arm-linux-gnueabihf), the same versions
# that Qt was built against. The cross toolchain's copies under
# /usr/arm-linux-gnueabihf can be older, and a loader of one version with a
# C library of another crashes, hence the explicit root as the prefix.
find_program(LUMO_QEMU_ARM qemu-arm)
if(LUMO_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${LUMO_QEMU_ARM};-L;/")
endif()

