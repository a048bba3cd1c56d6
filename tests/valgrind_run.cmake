# Runs hostzones_plain under valgrind memcheck (see valgrind.cmake):
#   1. on every example list and every list in DATA_DIR: status 0 and
#      a non-empty fragment, with no memcheck error and no leak of any kind;
#   2. on the failure paths (an output that cannot be opened; inputs that
#      are missing, too short or only exempt, for a new and for an existing
#      fragment, which must stay as it was): status 1 from the program
#      itself, again with no error or leak.
# Arguments: VALGRIND (empty when not found), BINARY, SOURCE_DIR, DATA_DIR
# (the real block lists), WORK_DIR.
# Without valgrind the test skips outside CI and fails in CI.
cmake_minimum_required(VERSION 3.25)

if(NOT VALGRIND)
  if(DEFINED ENV{CI})
    message(FATAL_ERROR "valgrind_run: valgrind is required in CI")
  endif()
  message("valgrind_run: skipped, valgrind not found")
  return()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

file(GLOB _examples "${SOURCE_DIR}/examples/*.txt")
file(GLOB _lists "${DATA_DIR}/*.txt")
set(_inputs ${_examples} ${_lists})
list(LENGTH _inputs _count)
if(_count EQUAL 0)
  message(FATAL_ERROR "valgrind_run: no example or shared list found")
endif()

# Memcheck's own failures exit with 99 so that they differ from the
# program's status 1 on the failure paths.
set(_memcheck ${VALGRIND} -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=all
  --show-leak-kinds=all)

function(run_case name expected_status)
  execute_process(
    COMMAND ${_memcheck} ${ARGN}
    WORKING_DIRECTORY "${WORK_DIR}"
    RESULT_VARIABLE _status
    OUTPUT_VARIABLE _out
    ERROR_VARIABLE _err)
  message("valgrind_run: ${name}: status ${_status}\n${_out}")
  if(NOT _status STREQUAL "${expected_status}")
    message(FATAL_ERROR "valgrind_run: ${name}: expected status ${expected_status}, "
      "got ${_status}\n${_err}")
  endif()
  if(NOT _err STREQUAL "")
    message(FATAL_ERROR "valgrind_run: ${name}: memcheck or the program wrote to "
      "standard error:\n${_err}")
  endif()
endfunction()

# 1. Every list at once, the way users run it.
run_case("all lists (${_count} inputs)" 0 "${BINARY}" "${WORK_DIR}/all.conf" ${_inputs})
file(SIZE "${WORK_DIR}/all.conf" _size)
if(_size EQUAL 0)
  message(FATAL_ERROR "valgrind_run: all lists: empty fragment")
endif()

# 2. Failure paths.
file(WRITE "${WORK_DIR}/short.txt" "a.b")
file(WRITE "${WORK_DIR}/exempt.txt" "1.1.1.1 ads.example.com\n1.1.1.1 example.org\n")
list(GET _inputs 0 _first)
run_case("unopenable output" 1 "${BINARY}" "${WORK_DIR}/missing-dir/out.conf" "${_first}")
run_case("no usable input" 1 "${BINARY}" "${WORK_DIR}/none.conf" "${WORK_DIR}/missing.txt"
  "${WORK_DIR}/short.txt" "${WORK_DIR}/exempt.txt")
run_case("too few arguments" 1 "${BINARY}" "${WORK_DIR}/unused.conf")
set(_kept "local-zone: \"kept.example\" static\n")
file(WRITE "${WORK_DIR}/kept.conf" "${_kept}")
run_case("no zone line, existing fragment" 1 "${BINARY}" "${WORK_DIR}/kept.conf"
  "${WORK_DIR}/exempt.txt")
file(READ "${WORK_DIR}/kept.conf" _after)
if(NOT _after STREQUAL _kept)
  message(FATAL_ERROR "valgrind_run: no zone line: the existing fragment changed: ${_after}")
endif()
