# Cross-build for 64-bit ARM with Debian's cross compiler
# (apt-get install g++-aarch64-linux-gnu):
#   cmake --preset release -B build/aarch64 --toolchain cmake/toolchains/aarch64.cmake
#   cmake --build build/aarch64
# The program runs on the target as it is; under qemu-user on a build
# machine, run it with QEMU_LD_PREFIX=/usr/aarch64-linux-gnu, or link it statically with
# -DCMAKE_EXE_LINKER_FLAGS=-static.
set(HOSTZONES_CROSS_TRIPLE aarch64-linux-gnu)
set(HOSTZONES_CROSS_PROCESSOR aarch64)
set(HOSTZONES_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/../DebianCrossToolchain.cmake)
