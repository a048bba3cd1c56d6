# Cross-build for 32-bit ARM (ARMv7, hard float, little-endian) with Debian's cross compiler
# (apt-get install g++-arm-linux-gnueabihf):
#   cmake --preset release -B build/armhf --toolchain cmake/toolchains/armhf.cmake
#   cmake --build build/armhf
# The program runs on the target as it is; under qemu-user on a build
# machine, run it with QEMU_LD_PREFIX=/usr/arm-linux-gnueabihf, or link it statically with
# -DCMAKE_EXE_LINKER_FLAGS=-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Libraries and headers come from the target's sysroot only; programs
# (cmake's own helpers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets try_run and test discovery run target programs on the build machine.
find_program(HOSTZONES_QEMU qemu-arm)
if(HOSTZONES_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HOSTZONES_QEMU} -L /usr/arm-linux-gnueabihf)
endif()
