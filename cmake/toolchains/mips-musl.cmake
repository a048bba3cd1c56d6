# Cross-build for 32-bit big-endian MIPS: MIPS32r2 with soft float, so it
# runs with or without an FPU (24Kc, 24Kf, 74Kc, 1004Kc, ...); static with musl, built
# with zig 0.11 (see ../ZigMuslToolchain.cmake):
#   cmake --preset release -B build/mips-musl --toolchain cmake/toolchains/mips-musl.cmake
#   cmake --build build/mips-musl
# build/mips-musl/hostzones needs nothing on the router. Under qemu-user on
# the build machine, qemu-mips -cpu 24Kc runs it on a CPU without an FPU.
set(HOSTZONES_ZIG_TARGET mips-linux-musl)
set(HOSTZONES_ZIG_CPU mips32r2+soft_float)
set(HOSTZONES_CROSS_PROCESSOR mips)
set(HOSTZONES_CROSS_QEMU "qemu-mips -cpu 24Kc")
include(${CMAKE_CURRENT_LIST_DIR}/../ZigMuslToolchain.cmake)
