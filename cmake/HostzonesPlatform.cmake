# What the program needs from the platform beyond standard C++ and POSIX,
# found by checks rather than by naming architectures, so that every build
# (x86-64, 32-bit ARM and MIPS, aarch64, FreeBSD) gives the same bytes.
include_guard(GLOBAL)

# 64-bit file sizes and offsets on every platform. Without them a 32-bit
# glibc build fails stat() with EOVERFLOW on a list of 2 GiB or more, and
# would skip that list where a 64-bit build reads it. glibc accepts
# _TIME_BITS=64 only together with _FILE_OFFSET_BITS=64, and it belongs with
# it: stat() fills in file times too, which a 32-bit time_t cannot hold past
# 2038. Where off_t and time_t have 64 bits already (64-bit platforms,
# FreeBSD) both definitions change nothing. Set for every target, tests and
# GoogleTest's inline helpers included, so that struct stat has one layout.
add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)

# The allocator's byte total is a std::atomic<std::int64_t>. Targets without
# 8-byte atomic instructions (32-bit MIPS and PowerPC) compile its
# read-modify-write to calls into libatomic, which must then be linked.
# HOSTZONES_ATOMIC_LIBRARIES names what the memory module links for it:
# nothing where the probe links on its own.
include(CheckCXXSourceCompiles)
set(_hostzones_atomic_probe [[
#include <atomic>
#include <cstdint>
std::atomic<std::int64_t> total{0};
int main() { return static_cast<int>(total.fetch_add(1, std::memory_order_relaxed)); }
]])
check_cxx_source_compiles("${_hostzones_atomic_probe}" HOSTZONES_ATOMIC64_BUILTIN)
set(HOSTZONES_ATOMIC_LIBRARIES)
if(NOT HOSTZONES_ATOMIC64_BUILTIN)
  set(CMAKE_REQUIRED_LIBRARIES atomic)
  check_cxx_source_compiles("${_hostzones_atomic_probe}" HOSTZONES_ATOMIC64_LIBATOMIC)
  unset(CMAKE_REQUIRED_LIBRARIES)
  if(NOT HOSTZONES_ATOMIC64_LIBATOMIC)
    message(FATAL_ERROR
      "std::atomic<std::int64_t> links neither on its own nor with libatomic")
  endif()
  set(HOSTZONES_ATOMIC_LIBRARIES atomic)
endif()
