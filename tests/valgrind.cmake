include_guard(GLOBAL)
# Memcheck on the program as users run it. Valgrind cannot run a sanitized
# binary, so hostzones_plain is built from the same sources as hostzones with
# the sanitizers switched off for this target alone (-fno-sanitize=all comes
# after the preset's -fsanitize flags on both the compile and the link line)
# and -O1 -g. The test (label "valgrind": `ctest -L valgrind`) runs it on the
# examples and the lists beside the repository, see valgrind_run.cmake.
get_target_property(_plain_sources hostzones_core SOURCES)
get_target_property(_plain_main hostzones SOURCES)
set(_plain_files)
foreach(_file IN LISTS _plain_sources _plain_main)
  if(IS_ABSOLUTE "${_file}")
    list(APPEND _plain_files "${_file}")
  else()
    list(APPEND _plain_files "${PROJECT_SOURCE_DIR}/${_file}")
  endif()
endforeach()

add_executable(hostzones_plain ${_plain_files})
target_include_directories(hostzones_plain PRIVATE ${PROJECT_SOURCE_DIR}/src)
# DWARF 4: the valgrind of Debian 12 cannot read the DWARF 5 that clang emits.
target_compile_options(hostzones_plain PRIVATE -fno-sanitize=all -O1 -g -gdwarf-4)
target_link_options(hostzones_plain PRIVATE -fno-sanitize=all)
# Its sources are analysed through hostzones_core already.
set_target_properties(hostzones_plain PROPERTIES EXPORT_COMPILE_COMMANDS OFF)

find_program(HOSTZONES_VALGRIND valgrind)
add_test(NAME valgrind_conversion
  COMMAND ${CMAKE_COMMAND}
    -DVALGRIND=${HOSTZONES_VALGRIND}
    -DBINARY=$<TARGET_FILE:hostzones_plain>
    -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/valgrind-work
    -P ${CMAKE_CURRENT_LIST_DIR}/valgrind_run.cmake)
set_tests_properties(valgrind_conversion PROPERTIES
  LABELS valgrind
  TIMEOUT 900
  SKIP_REGULAR_EXPRESSION "valgrind_run: skipped")
