# Cross build for 64-bit Arm Linux with Debian's cross compiler (g++-aarch64-linux-gnu).
#
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
#
# Target binaries run under user-mode QEMU: qemu-aarch64-static -L /usr/aarch64-linux-gnu PROGRAM.
# Libraries are looked up only in the target's sysroot, so a host library (zlib, say) is never
# linked into a target binary by mistake; what the sysroot lacks is left out.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(lagstat_cross_prefix aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${lagstat_cross_prefix}-gcc)
set(CMAKE_CXX_COMPILER ${lagstat_cross_prefix}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${lagstat_cross_prefix})

set(CMAKE_FIND_ROOT_PATH /usr/${lagstat_cross_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest (and anything else that runs a target program) goes through the emulator.
find_program(LAGSTAT_QEMU_AARCH64 qemu-aarch64-static)
if(LAGSTAT_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LAGSTAT_QEMU_AARCH64} -L /usr/${lagstat_cross_prefix})
endif()
