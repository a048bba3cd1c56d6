# Cross-build for 32-bit little-endian MIPS: MIPS32r2 with soft float, so it
# runs with or without an FPU (24Kc, 24Kf, 74Kc, 1004Kc, ...); static with musl,
# built with zig 0.11 (see ../ZigMuslToolchain.cmake):
#   cmake --preset release -B build/mipsel-musl --toolchain cmake/toolchains/mipsel-musl.cmake
#   cmake --build build/mipsel-musl
# build/mipsel-musl/hostzones needs nothing on the router. Under qemu-user on
# the build machine, qemu-mipsel -cpu 24Kc runs it on a CPU without an FPU.
set(HOSTZONES_ZIG_TARGET mipsel-linux-musl)
set(HOSTZONES_ZIG_CPU mips32r2+soft_float)
set(HOSTZONES_CROSS_PROCESSOR mipsel)
set(HOSTZONES_CROSS_QEMU "qemu-mipsel -cpu 24Kc")
include(${CMAKE_CURRENT_LIST_DIR}/../ZigMuslToolchain.cmake)
