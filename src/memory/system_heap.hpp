// The allocator's view of the platform: the four heap calls and the fatal
// log. memory.cpp calls them and does not define them. The program, the fuzz
// targets and the benchmarks link their definitions from system_heap.cpp
// (malloc/calloc/realloc/free, through the prepared heap of
// prepared_heap.hpp where there is one; syslog and exit; target
// hostzones_system_heap); the tests link tests/support/test_heap.cpp
// instead, which can fail the Nth heap request and shows the fatal sentence
// on standard error, so tests can inject out-of-memory and observe which
// corruption sentence would have reached the log. A binary gets exactly one
// of the two: both are object libraries, so linking both defines every
// function twice and linking neither leaves them undefined.
#pragma once

#include <cstddef>

// What the allocator's cache hints assume about the heap's layout, the one
// place a guess about a particular heap is written: glibc's, which keeps
// each block's size in the word just in front of the pointer it hands out
// and carves consecutive small requests from one region, each with that
// word and rounded up to 16 bytes. The hints only request cache lines
// (warm_block_release, next_block_distance in memory.hpp); on a heap laid
// out otherwise a request is wasted and nothing else happens.
constexpr std::size_t HEAP_WORD_BYTES = sizeof(std::size_t);
constexpr std::size_t HEAP_STEP_BYTES = 16;

// The usual distance from a heap block of bytes bytes to the block the heap
// hands out for the next small request.
constexpr std::size_t heap_block_distance(std::size_t bytes) {
  return (bytes + HEAP_WORD_BYTES + HEAP_STEP_BYTES - 1) & ~(HEAP_STEP_BYTES - 1);
}

void* heap_malloc(std::size_t bytes);
void* heap_calloc(std::size_t bytes);  // one element of `bytes` bytes
void* heap_realloc(void* block, std::size_t bytes);
void heap_free(void* block);

// Writes sentence (a fixed text that holds no '%') to the
// system log at LOG_ERR and ends the process with exit(1).
[[noreturn]] void heap_fatal(const char* sentence);
