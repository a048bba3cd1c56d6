// The platform beneath the guarded allocator: the C heap and the system log.
#include "memory/system_heap.hpp"

#include <syslog.h>

#include <cstdlib>

void* heap_malloc(std::size_t bytes) {
  return std::malloc(bytes);
}

void* heap_calloc(std::size_t bytes) {
  return std::calloc(1, bytes);
}

void* heap_realloc(void* block, std::size_t bytes) {
  return std::realloc(block, bytes);
}

void heap_free(void* block) {
  std::free(block);
}

// The sentence is passed as the format string itself: the four sentences are
// fixed texts without a '%', and the log line must be exactly the sentence.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void heap_fatal(const char* sentence) {
  syslog(LOG_ERR, sentence);
  std::exit(1);
}
#pragma GCC diagnostic pop
