# Cross-build for 64-bit ARM (ARMv8-A); static with musl, built with zig 0.11
# (see ../ZigMuslToolchain.cmake):
#   cmake --preset release -B build/aarch64-musl --toolchain cmake/toolchains/aarch64-musl.cmake
#   cmake --build build/aarch64-musl
# build/aarch64-musl/hostzones needs nothing on the router; qemu-aarch64 runs
# it on the build machine.
set(HOSTZONES_ZIG_TARGET aarch64-linux-musl)
set(HOSTZONES_ZIG_CPU baseline)
set(HOSTZONES_CROSS_PROCESSOR aarch64)
set(HOSTZONES_CROSS_QEMU "qemu-aarch64")
include(${CMAKE_CURRENT_LIST_DIR}/../ZigMuslToolchain.cmake)
