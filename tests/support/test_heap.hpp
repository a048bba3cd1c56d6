// Test support: the heap seam of the test executables (test_heap.cpp
// stands where the program links src/memory/system_heap.cpp). Tests use it
// to fail chosen heap requests, to inspect a block as it is handed to free,
// and to read the fatal sentence, which this seam writes to standard error
// instead of the system log before it calls exit(1) as the real one does.
#pragma once

#include <cstddef>
#include <cstdint>

struct TestHeap {
  std::int64_t requests;         // malloc, calloc and realloc calls so far
  std::int64_t fail_at;          // fail the request with this number (1-based); 0: none
  bool fail_later_too;           // with fail_at: fail every request from fail_at on
  std::size_t snapshot_bytes;    // bytes of each freed block to copy (at most 64)
  unsigned char last_freed[64];  // the copy, taken just before free
  const void* last_freed_block;  // the heap block last handed to free
};

extern TestHeap test_heap;

// Resets the counters and switches fault injection and snapshots off.
void test_heap_reset();
