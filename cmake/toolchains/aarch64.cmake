# Cross-build for 64-bit ARM with Debian's cross compiler
# (apt-get install g++-aarch64-linux-gnu):
#   cmake --preset release -B build/aarch64 --toolchain cmake/toolchains/aarch64.cmake
#   cmake --build build/aarch64
# The program runs on the target as it is; under qemu-user on a build
# machine, run it with QEMU_LD_PREFIX=/usr/aarch64-linux-gnu, or link it statically with
# -DCMAKE_EXE_LINKER_FLAGS=-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries and headers come from the target's sysroot only; programs
# (cmake's own helpers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets try_run and test discovery run target programs on the build machine.
find_program(HOSTZONES_QEMU qemu-aarch64)
if(HOSTZONES_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HOSTZONES_QEMU} -L /usr/aarch64-linux-gnu)
endif()
