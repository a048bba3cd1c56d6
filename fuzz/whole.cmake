# Whole-program fuzz target (whole_fuzz.cpp): parse and emit on arbitrary
# lists, checked line by line. Included from fuzz/CMakeLists.txt; its seed
# corpus is corpus/whole/. It checks the bucket trees with the tree checker
# of the tests' support headers.
add_executable(whole_fuzz ${CMAKE_CURRENT_LIST_DIR}/whole_fuzz.cpp)
target_link_libraries(whole_fuzz PRIVATE hostzones_hosts hostzones_zones
  hostzones_hashmap_internal hostzones_system_heap)
target_include_directories(whole_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/tests)
hostzones_target_options(whole_fuzz)
target_link_options(whole_fuzz PRIVATE -fsanitize=fuzzer)
