// The allocator's view of the platform: the four heap calls and the fatal
// log. Production code gets system_heap.cpp (malloc/calloc/realloc/free,
// syslog and exit). The test executable links its own definitions instead
// (test_heap.cpp), which can fail the Nth heap request and show the fatal
// sentence on standard error, so tests can inject out-of-memory and observe
// which corruption sentence would have reached the log.
#pragma once

#include <cstddef>

void* heap_malloc(std::size_t bytes);
void* heap_calloc(std::size_t bytes);  // one element of `bytes` bytes
void* heap_realloc(void* block, std::size_t bytes);
void heap_free(void* block);

// Writes sentence (a fixed text that holds no '%') to the
// system log at LOG_ERR and ends the process with exit(1).
[[noreturn]] void heap_fatal(const char* sentence);
