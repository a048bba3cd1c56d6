// Test definitions of the allocator's platform seam (see test_heap.hpp).
#include "support/test_heap.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "memory/system_heap.hpp"

TestHeap test_heap{};

void test_heap_reset() {
  test_heap = TestHeap{};
}

namespace {

// Counts the request and says whether it is one to fail.
bool refuse_request() {
  const std::int64_t number = ++test_heap.requests;
  if (test_heap.fail_at == 0) return false;
  return test_heap.fail_later_too ? number >= test_heap.fail_at : number == test_heap.fail_at;
}

}  // namespace

void* heap_malloc(std::size_t bytes) {
  return refuse_request() ? nullptr : std::malloc(bytes);
}

void* heap_calloc(std::size_t bytes) {
  return refuse_request() ? nullptr : std::calloc(1, bytes);
}

void* heap_realloc(void* block, std::size_t bytes) {
  return refuse_request() ? nullptr : std::realloc(block, bytes);
}

void heap_free(void* block) {
  if (test_heap.snapshot_bytes != 0) {
    const std::size_t n = test_heap.snapshot_bytes < sizeof test_heap.last_freed
                              ? test_heap.snapshot_bytes
                              : sizeof test_heap.last_freed;
    std::memcpy(test_heap.last_freed, block, n);
  }
  test_heap.last_freed_block = block;
  std::free(block);
}

void heap_fatal(const char* sentence) {
  // Standard error stands in for the system log so that death tests can match
  // the sentence.
  const std::size_t n = std::strlen(sentence);
  if (write(STDERR_FILENO, sentence, n) < 0 || write(STDERR_FILENO, "\n", 1) < 0) {
    // Nothing more can be reported; the exit below still happens.
  }
  std::exit(1);
}
