// The prepared heap: on Linux with glibc, the C heap with its pages made
// resident in bulk as it grows and large blocks in mappings of their own,
// so that a large table does not pay a page fault for every 4 KiB it
// touches (prepared_heap.cpp says how, and why not huge pages).
//
// The four calls behave as malloc, calloc (one element of `bytes` bytes),
// realloc and free, and take back only blocks they handed out. The program's
// platform seam (system_heap.cpp) passes its heap requests to them where
// they exist (HOSTZONES_HAS_PREPARED_HEAP), except in builds with
// AddressSanitizer, whose own heap watches every block; the seam's test
// calls them directly in every build. Single-threaded: the bookkeeping of
// the mappings is plain state.
#pragma once

#include <cstddef>

// Beyond POSIX it needs mallopt, sbrk, madvise with its MADV_ advice and
// MAP_ANONYMOUS, which glibc declares only with _DEFAULT_SOURCE in effect
// (its default, and implied by _GNU_SOURCE), not under a strict
// -D_POSIX_C_SOURCE=...: there the plain heap is built.
#if defined(__linux__) && defined(__GLIBC__) && defined(_DEFAULT_SOURCE)
#define HOSTZONES_HAS_PREPARED_HEAP 1

void* prepared_malloc(std::size_t bytes);
void* prepared_calloc(std::size_t bytes);
void* prepared_realloc(void* block, std::size_t bytes);
void prepared_free(void* block);
#endif
