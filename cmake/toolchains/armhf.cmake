# Cross-build for 32-bit ARM (ARMv7, hard float, little-endian) with Debian's cross compiler
# (apt-get install g++-arm-linux-gnueabihf):
#   cmake --preset release -B build/armhf --toolchain cmake/toolchains/armhf.cmake
#   cmake --build build/armhf
# The program runs on the target as it is; under qemu-user on a build
# machine, run it with QEMU_LD_PREFIX=/usr/arm-linux-gnueabihf, or link it statically with
# -DCMAKE_EXE_LINKER_FLAGS=-static.
set(HOSTZONES_CROSS_TRIPLE arm-linux-gnueabihf)
set(HOSTZONES_CROSS_PROCESSOR arm)
set(HOSTZONES_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/../DebianCrossToolchain.cmake)
