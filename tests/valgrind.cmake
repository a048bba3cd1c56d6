# Memcheck on the program as users run it. Valgrind cannot run a sanitized
# binary, so a second build tree (plain/) builds the program from this same
# source tree, without sanitizers, at -O1 with DWARF 4 debug information (the
# valgrind of Debian 12 cannot read the DWARF 5 that clang emits). It is a
# build of the project of its own, configured like the user's: nothing of
# this build's targets is copied into it. The test (label "valgrind":
# `ctest -L valgrind`) runs it on the examples and the lists beside the
# repository (HOSTZONES_DATA_DIR), see valgrind_run.cmake.
include(ExternalProject)
set(HOSTZONES_PLAIN_DIR ${PROJECT_BINARY_DIR}/plain)
set(HOSTZONES_PLAIN_BINARY ${HOSTZONES_PLAIN_DIR}/hostzones)
ExternalProject_Add(hostzones_plain
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${HOSTZONES_PLAIN_DIR}
  CMAKE_ARGS
    -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
    -DCMAKE_BUILD_TYPE=
    "-DCMAKE_CXX_FLAGS=-O1 -g -gdwarf-4"
    -DHOSTZONES_WERROR=${HOSTZONES_WERROR}
    -DHOSTZONES_SCALAR_KERNELS=${HOSTZONES_SCALAR_KERNELS}
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${HOSTZONES_PLAIN_BINARY}
  INSTALL_COMMAND "")

find_program(HOSTZONES_VALGRIND valgrind)
add_test(NAME valgrind_conversion
  COMMAND ${CMAKE_COMMAND}
    -DVALGRIND=${HOSTZONES_VALGRIND}
    -DBINARY=${HOSTZONES_PLAIN_BINARY}
    -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DDATA_DIR=${HOSTZONES_DATA_DIR}
    -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/valgrind-work
    -P ${CMAKE_CURRENT_LIST_DIR}/valgrind_run.cmake)
set_tests_properties(valgrind_conversion PROPERTIES
  LABELS valgrind
  TIMEOUT 900
  SKIP_REGULAR_EXPRESSION "valgrind_run: skipped")
