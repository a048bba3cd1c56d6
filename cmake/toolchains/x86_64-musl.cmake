# Build for x86-64 (the baseline CPU), static with musl, as for Alpine; built
# with zig 0.11 (see ../ZigMuslToolchain.cmake):
#   cmake --preset release -B build/x86_64-musl --toolchain cmake/toolchains/x86_64-musl.cmake
#   cmake --build build/x86_64-musl
# build/x86_64-musl/hostzones needs nothing on the target and runs on any
# x86-64 Linux.
set(HOSTZONES_ZIG_TARGET x86_64-linux-musl)
set(HOSTZONES_ZIG_CPU baseline)
set(HOSTZONES_CROSS_PROCESSOR x86_64)
set(HOSTZONES_CROSS_QEMU "")
include(${CMAKE_CURRENT_LIST_DIR}/../ZigMuslToolchain.cmake)
