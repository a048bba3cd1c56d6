// The platform beneath the guarded allocator: the C heap and the system log.
//
// On Linux with glibc the heap requests go to the prepared heap
// (prepared_heap.hpp), which makes the heap's pages resident in bulk.
// FreeBSD promotes superpages by itself, and other platforms, and builds
// with AddressSanitizer (whose own heap watches every block), keep the
// plain C heap. Nothing is read from the environment.
#include "memory/system_heap.hpp"

#include <syslog.h>

#include <cstdlib>

#include "memory/prepared_heap.hpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTZONES_PLAIN_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define HOSTZONES_PLAIN_HEAP 1
#endif

#if defined(HOSTZONES_HAS_PREPARED_HEAP) && !defined(HOSTZONES_PLAIN_HEAP)

void* heap_malloc(std::size_t bytes) {
  return prepared_malloc(bytes);
}

void* heap_calloc(std::size_t bytes) {
  return prepared_calloc(bytes);
}

void* heap_realloc(void* block, std::size_t bytes) {
  return prepared_realloc(block, bytes);
}

void heap_free(void* block) {
  prepared_free(block);
}

#else

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

#endif

// The log line is exactly the sentence.
void heap_fatal(const char* sentence) {
  syslog(LOG_ERR, "%s", sentence);
  std::exit(1);
}
