// The allocator's view of the platform: the four heap calls and the fatal
// log. memory.cpp calls them and does not define them. The program, the fuzz
// targets and the benchmarks link their definitions from system_heap.cpp
// (malloc/calloc/realloc/free, syslog and exit; target
// hostzones_system_heap); the tests link tests/support/test_heap.cpp
// instead, which can fail the Nth heap request and shows the fatal sentence
// on standard error, so tests can inject out-of-memory and observe which
// corruption sentence would have reached the log. A binary gets exactly one
// of the two: both are object libraries, so linking both defines every
// function twice and linking neither leaves them undefined.
#pragma once

#include <cstddef>

void* heap_malloc(std::size_t bytes);
void* heap_calloc(std::size_t bytes);  // one element of `bytes` bytes
void* heap_realloc(void* block, std::size_t bytes);
void heap_free(void* block);

// Writes sentence (a fixed text that holds no '%') to the
// system log at LOG_ERR and ends the process with exit(1).
[[noreturn]] void heap_fatal(const char* sentence);
