# Helpers that give every target of the project the same compiler settings
# and that make the layering of the modules a property of the build.
#
# Each module under src/ is a library target whose headers are reachable
# only through per-module include roots in the build tree: a target sees
# the public headers of the modules it links (and of what they link), and
# nothing else. An include of a module above, or beside, the includer is a
# "file not found" error, and a call into a module that is not linked an
# undefined reference.
include_guard(GLOBAL)

option(HOSTZONES_WERROR "Treat compiler warnings as errors" OFF)
option(HOSTZONES_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(HOSTZONES_SCALAR_KERNELS
  "Use the byte-by-byte kernels even where the 16-byte SSE2 ones are available" OFF)

# Warnings, sanitizers and the fuzzer instrumentation for one target.
function(hostzones_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(HOSTZONES_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(HOSTZONES_SANITIZE)
    target_compile_options(${target} PRIVATE
      -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(HOSTZONES_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

# Links each of files (paths relative to src/NAME) into ROOT/NAME/, so that
# ROOT as an include directory offers exactly "NAME/file".
function(_hostzones_header_root root name)
  file(MAKE_DIRECTORY "${root}/${name}")
  foreach(file IN LISTS ARGN)
    file(CREATE_LINK "${PROJECT_SOURCE_DIR}/src/${name}/${file}" "${root}/${name}/${file}"
      SYMBOLIC)
  endforeach()
endfunction()

# hostzones_module(NAME
#   [SOURCES file...]           sources in src/NAME; none: a header-only module
#   HEADERS file...             public headers, for every target that links it
#   [INTERNAL_HEADERS file...]  for the module itself and for targets that
#                               link hostzones_NAME_internal (tests, fuzzers)
#   [DEPENDS module...])        the modules below it that it uses
# Defines the library hostzones_NAME (STATIC, or INTERFACE without sources).
function(hostzones_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;HEADERS;INTERNAL_HEADERS;DEPENDS")
  set(target hostzones_${name})
  set(public_root "${PROJECT_BINARY_DIR}/modules/${name}")
  _hostzones_header_root("${public_root}" ${name} ${arg_HEADERS})
  set(deps)
  foreach(dep IN LISTS arg_DEPENDS)
    list(APPEND deps hostzones_${dep})
  endforeach()
  if(arg_SOURCES)
    list(TRANSFORM arg_SOURCES PREPEND "${PROJECT_SOURCE_DIR}/src/${name}/")
    add_library(${target} STATIC ${arg_SOURCES})
    target_include_directories(${target} PUBLIC "${public_root}")
    target_link_libraries(${target} PUBLIC ${deps})
    hostzones_target_options(${target})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE "${public_root}")
    target_link_libraries(${target} INTERFACE ${deps})
  endif()
  if(arg_INTERNAL_HEADERS)
    set(internal_root "${PROJECT_BINARY_DIR}/modules-internal/${name}")
    _hostzones_header_root("${internal_root}" ${name} ${arg_INTERNAL_HEADERS})
    add_library(${target}_internal INTERFACE)
    target_include_directories(${target}_internal INTERFACE "${internal_root}")
    target_link_libraries(${target}_internal INTERFACE ${target})
    if(arg_SOURCES)
      target_include_directories(${target} PRIVATE "${internal_root}")
    endif()
  endif()
endfunction()
