# Cross-building for 64-bit ARM Linux (arm64), the 64-bit Raspberry Pi OS of
# Pi 3, 4 and Compute Module 3/4, with Debian's cross compiler and Debian's
# arm64 libraries installed through multiarch (dpkg --add-architecture arm64;
# qtbase5-dev:arm64):
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/arm64-linux-gnu.cmake
#
# As for armhf (armhf-linux-gnueabihf.cmake): the library architecture keeps
# find_package() on the target's libraries, and the tests run under
# qemu-user with the target's own runtime from the root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

find_program(LUMO_QEMU_AARCH64 qemu-aarch64)
if(LUMO_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${LUMO_QEMU_AARCH64};-L;/")
endif()
