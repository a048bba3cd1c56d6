# Cross-build for 32-bit big-endian MIPS with Debian's cross compiler
# (apt-get install g++-mips-linux-gnu):
#   cmake --preset release -B build/mips --toolchain cmake/toolchains/mips.cmake
#   cmake --build build/mips
# The program runs on the target as it is; under qemu-user on a build
# machine, run it with QEMU_LD_PREFIX=/usr/mips-linux-gnu, or link it statically with
# -DCMAKE_EXE_LINKER_FLAGS=-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)

# Libraries and headers come from the target's sysroot only; programs
# (cmake's own helpers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/mips-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets try_run and test discovery run target programs on the build machine.
find_program(HOSTZONES_QEMU qemu-mips)
if(HOSTZONES_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HOSTZONES_QEMU} -L /usr/mips-linux-gnu)
endif()
