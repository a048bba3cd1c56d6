# The common part of the *-musl toolchain files in cmake/toolchains/: a
# static Linux program linked against musl, built with zig 0.11, which
# bundles musl, libc++ and a clang for every target. The result needs
# nothing on the target, as on routers (OpenWrt) and Alpine, where neither
# glibc nor a C++ library can be counted on. Each toolchain file sets
#   HOSTZONES_ZIG_TARGET     zig's target triple (mipsel-linux-musl, ...)
#   HOSTZONES_ZIG_CPU        zig's -mcpu value (mips32r2+soft_float, ...)
#   HOSTZONES_CROSS_PROCESSOR
#   HOSTZONES_CROSS_QEMU     the qemu-user program that runs its binaries,
#                            followed by its options (-cpu 24Kc for MIPS)
# then includes this file.
#
# zig is the cache variable or environment variable ZIG, else zig on PATH.
# CMake needs one program per tool, so the compilers, the archiver and the
# indexer are two-line wrapper scripts around zig, written at configure time
# into HOSTZONES_ZIG_WRAPPERS (the build tree's zig-wrappers/). zig keeps
# what it compiles once per target (musl, libc++) in its cache,
# ZIG_GLOBAL_CACHE_DIR (default ~/.cache/zig).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${HOSTZONES_CROSS_PROCESSOR})

if(NOT ZIG AND DEFINED ENV{ZIG})
  set(ZIG "$ENV{ZIG}" CACHE FILEPATH "The zig 0.11 compiler")
endif()
find_program(ZIG zig)
if(NOT ZIG)
  message(FATAL_ERROR "zig not found: put zig 0.11 on PATH or set ZIG to its path")
endif()

# try_compile projects read this file again in a directory of their own:
# they get the main project's wrapper directory and zig, not new ones.
if(NOT HOSTZONES_ZIG_WRAPPERS)
  set(HOSTZONES_ZIG_WRAPPERS "${CMAKE_BINARY_DIR}/zig-wrappers")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HOSTZONES_ZIG_WRAPPERS ZIG)

# _hostzones_zig_wrapper(NAME ZIG-ARGUMENTS): HOSTZONES_ZIG_WRAPPERS/NAME runs
# zig with ZIG-ARGUMENTS and then its own arguments; rewritten only when its
# text changes.
function(_hostzones_zig_wrapper name arguments)
  set(path "${HOSTZONES_ZIG_WRAPPERS}/${name}")
  set(text "#!/bin/sh\nexec '${ZIG}' ${arguments} \"$@\"\n")
  set(old "")
  if(EXISTS "${path}")
    file(READ "${path}" old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE "${path}" "${text}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
      GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endfunction()

set(_hostzones_zig_flags "-target ${HOSTZONES_ZIG_TARGET} -mcpu=${HOSTZONES_ZIG_CPU}")
_hostzones_zig_wrapper(cc "cc ${_hostzones_zig_flags}")
_hostzones_zig_wrapper(c++ "c++ ${_hostzones_zig_flags}")
_hostzones_zig_wrapper(ar ar)
_hostzones_zig_wrapper(ranlib ranlib)

set(CMAKE_C_COMPILER "${HOSTZONES_ZIG_WRAPPERS}/cc")
set(CMAKE_CXX_COMPILER "${HOSTZONES_ZIG_WRAPPERS}/c++")
# The archive steps use zig's own tools: with link-time optimisation the
# objects are LLVM bitcode, which the build machine's binutils cannot index.
set(CMAKE_AR "${HOSTZONES_ZIG_WRAPPERS}/ar" CACHE FILEPATH "Archiver" FORCE)
set(CMAKE_RANLIB "${HOSTZONES_ZIG_WRAPPERS}/ranlib" CACHE FILEPATH "Archive indexer" FORCE)
set(CMAKE_C_COMPILER_AR "${CMAKE_AR}" CACHE FILEPATH "Archiver for LTO" FORCE)
set(CMAKE_C_COMPILER_RANLIB "${CMAKE_RANLIB}" CACHE FILEPATH "Archive indexer for LTO" FORCE)
set(CMAKE_CXX_COMPILER_AR "${CMAKE_AR}" CACHE FILEPATH "Archiver for LTO" FORCE)
set(CMAKE_CXX_COMPILER_RANLIB "${CMAKE_RANLIB}" CACHE FILEPATH "Archive indexer for LTO" FORCE)

# Static: the program (and every test) carries musl and libc++ with it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# zig brings the target's headers and libraries itself; nothing of the build
# machine's /usr may be found for the target.
set(CMAKE_FIND_ROOT_PATH "${HOSTZONES_ZIG_WRAPPERS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets try_run and test discovery run target programs on the build machine
# (an x86-64 target runs there as it is).
if(HOSTZONES_CROSS_QEMU)
  separate_arguments(_hostzones_qemu UNIX_COMMAND "${HOSTZONES_CROSS_QEMU}")
  list(POP_FRONT _hostzones_qemu _hostzones_qemu_program)
  find_program(HOSTZONES_QEMU ${_hostzones_qemu_program})
  if(HOSTZONES_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${HOSTZONES_QEMU} ${_hostzones_qemu})
  endif()
endif()
