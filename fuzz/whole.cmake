# Whole-program fuzz target (whole_fuzz.cpp): parse and emit on arbitrary
# lists, checked line by line. Included from fuzz/CMakeLists.txt; its seed
# corpus is corpus/whole/.
add_executable(whole_fuzz ${CMAKE_CURRENT_LIST_DIR}/whole_fuzz.cpp)
target_link_libraries(whole_fuzz PRIVATE hostzones_core)
target_link_options(whole_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
