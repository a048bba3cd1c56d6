# The common part of the toolchain files in cmake/toolchains/: a Linux
# target built with one of Debian's cross compilers, whose libraries and
# headers come from the target's directory under /usr. Each toolchain file
# sets HOSTZONES_CROSS_TRIPLE (the compilers' prefix and that directory's
# name), HOSTZONES_CROSS_PROCESSOR and HOSTZONES_CROSS_QEMU, then includes
# this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${HOSTZONES_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${HOSTZONES_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${HOSTZONES_CROSS_TRIPLE}-g++)

# Libraries and headers come from the target's sysroot only; programs
# (cmake's own helpers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${HOSTZONES_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets try_run and test discovery run target programs on the build machine.
find_program(HOSTZONES_QEMU ${HOSTZONES_CROSS_QEMU})
if(HOSTZONES_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HOSTZONES_QEMU} -L /usr/${HOSTZONES_CROSS_TRIPLE})
endif()
