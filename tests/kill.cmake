# Kill test (kill_test.cpp, label "kill"): SIGKILL at spread-out moments of
# a large conversion must leave the old or the new fragment, nothing else.
# Runs the unsanitized program of valgrind.cmake, included before it.

add_executable(hostzones_kill_test ${CMAKE_CURRENT_LIST_DIR}/kill_test.cpp)
target_link_libraries(hostzones_kill_test PRIVATE GTest::gtest_main)
target_compile_definitions(hostzones_kill_test PRIVATE
  HOSTZONES_PLAIN_BINARY="${HOSTZONES_PLAIN_BINARY}"
  HOSTZONES_TEST_WORK_DIR="${CMAKE_CURRENT_BINARY_DIR}")
add_dependencies(hostzones_kill_test hostzones_plain)
add_test(NAME kill_during_conversion COMMAND hostzones_kill_test)
set_tests_properties(kill_during_conversion PROPERTIES LABELS kill TIMEOUT 900)
