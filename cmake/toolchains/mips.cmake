# Cross-build for 32-bit big-endian MIPS with Debian's cross compiler
# (apt-get install g++-mips-linux-gnu):
#   cmake --preset release -B build/mips --toolchain cmake/toolchains/mips.cmake
#   cmake --build build/mips
# The program runs on the target as it is; under qemu-user on a build
# machine, run it with QEMU_LD_PREFIX=/usr/mips-linux-gnu, or link it statically with
# -DCMAKE_EXE_LINKER_FLAGS=-static.
set(HOSTZONES_CROSS_TRIPLE mips-linux-gnu)
set(HOSTZONES_CROSS_PROCESSOR mips)
set(HOSTZONES_CROSS_QEMU qemu-mips)
include(${CMAKE_CURRENT_LIST_DIR}/../DebianCrossToolchain.cmake)
