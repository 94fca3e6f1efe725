# Tests of a cross build run through qemu-user (CMAKE_CROSSCOMPILING_EMULATOR,
# set by the toolchain file). Every emulated process gets the preload of
# qemu-user/no_clone_pidfd.cpp, which lets QProcess start programs under the
# emulator. It is built now, at configure time, with the cross compiler, so
# that it exists before the first test binary is run for test discovery.
set(lumo_qemu_preload "${CMAKE_BINARY_DIR}/qemu-user/libno_clone_pidfd.so")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/qemu-user")
execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} -shared -fPIC -O2 -Wall -Wextra -Werror
            -o "${lumo_qemu_preload}" "${CMAKE_CURRENT_LIST_DIR}/qemu-user/no_clone_pidfd.cpp" -ldl
    RESULT_VARIABLE lumo_qemu_preload_result
    ERROR_VARIABLE lumo_qemu_preload_error)
if(NOT lumo_qemu_preload_result EQUAL 0)
    message(FATAL_ERROR "Cannot build the qemu-user preload:\n${lumo_qemu_preload_error}")
endif()
list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E "LD_PRELOAD=${lumo_qemu_preload}")
