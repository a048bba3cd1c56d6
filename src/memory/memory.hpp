// Guarded memory: every heap block of the program passes through here.
//
// A guarded block is one heap block of size + BLOCK_OVERHEAD_BYTES (24)
// bytes:
//
//   bytes 0..7            size        signed 64-bit size of the user area
//   bytes 8..15           check word  size ^ (address of byte 0); 0 once
//                                     released and while a resize is under way
//   bytes 16..16+size-1   user area   the caller's bytes (the pointer handed out)
//   next 8 bytes          guard word  all zero, at no particular alignment
//
// A block is valid when its check word equals size ^ its own address and its
// guard word is zero. The exclusive or changes with every bit of the size
// word, so any change to it (with the check word intact) fails the
// comparison. Validation compares the check word first and reads the guard
// word only when it matched, so a damaged size word never addresses memory.
// A damaged block, or a byte total that goes negative, is heap corruption:
// one fixed sentence goes to the system log at LOG_ERR and the process exits
// with status 1. Nothing is written to the terminal. Running out of memory
// is not corruption: it reaches the caller as a null result.
//
// Ownership: whoever allocates a block owns it until it hands it on. Release
// goes through the address of the owner's pointer variable, which is set to
// null before anything else happens, so no owner is left holding a dangling
// pointer, not even when the block turns out to be corrupt.
//
// Thread safety: allocated_bytes is changed by one atomic add-and-fetch whose
// own result is tested; a block itself belongs to the one owner holding it.
//
// General operations. The program allocates and releases, never resizes a
// block and never asks for a wipe; reallocate and the wipe flag are the
// allocator's interface all the same, kept and tested for callers that
// need them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

#include "memory/system_heap.hpp"

// The block layout: the two header words in front of the user area, the
// guard word behind it, and what they add to every block together.
constexpr std::int64_t BLOCK_HEADER_BYTES = 16;  // size word + check word
constexpr std::int64_t BLOCK_GUARD_BYTES = 8;
constexpr std::int64_t BLOCK_OVERHEAD_BYTES = BLOCK_HEADER_BYTES + BLOCK_GUARD_BYTES;

// Sum of the size fields of every live guarded block (headers and guard words
// not counted). Changed only through countAllocation.
extern std::atomic<std::int64_t> allocated_bytes;

// The operations that can detect corruption; each has its own log sentence.
enum class MemoryOperation { reallocate, deallocate, deallocate_batch, countAllocation };

// Adds delta to allocated_bytes with one atomic add-and-fetch; a negative
// total is fatal ("... detected by countAllocation().").
void countAllocation(std::int64_t delta);

// A new block of size bytes, zero-filled (calloc) when zero_fill is set,
// otherwise uninitialised except for its guard word. Null for a negative size,
// a size whose heap block (size + 24 bytes) would exceed PTRDIFF_MAX bytes
// (2^31 - 1 where pointers have 32 bits), or when the heap is exhausted;
// nothing is counted then.
void* allocate(std::int64_t size, bool zero_fill);

// Resizes the block at ptr (a user-area pointer from this allocator, or null)
// to size bytes. Null ptr: exactly allocate(size, zero_fill). With zero_fill,
// grown bytes read zero. On success the old pointer is dead and the result is
// the block. On failure (heap exhausted, or size + 24 exceeds PTRDIFF_MAX)
// the result is null and: with release_on_failure the old block has been
// released (its owner must drop it); without, the old block is valid,
// unchanged and still the caller's. A negative size returns null and leaves
// ptr alone entirely.
void* reallocate(void* ptr, std::int64_t size, bool zero_fill, bool release_on_failure);

// Releases the block at user, a user-area pointer whose owner variable has
// already been cleared; the shared step behind deallocate and
// deallocate_batch. Validates the block under the asking operation's name,
// then counts it out and frees it. With wipe, the whole heap block (header,
// user area, guard word) is zeroed before free.
void release_block(void* user, bool wipe, MemoryOperation asking);

// Requests the cache line at p, a hint that reads and changes nothing; the
// one way the program asks for a line ahead of its use. A warm-up walk that
// only requests lines stores nothing, and the compiler may delete loops and
// calls without effects, prefetches not counting as effects; the empty
// volatile statement that takes p is one.
inline void warm_cache_line(const void* p) {
  __builtin_prefetch(p);
#if defined(__GNUC__)
  __asm__ volatile("" : : "r"(p));
#endif
}

// Cache hint for a release about to follow: requests the cache lines that
// releasing the block at user (a user-area pointer, size its user bytes)
// reads: the header words, with the heap's own word just in front of them,
// and the guard word, with the heap's word of the block behind it (see
// HEAP_WORD_BYTES). Reads nothing and changes nothing; where the heap keeps
// its words elsewhere, a request is wasted and nothing else happens.
inline void warm_block_release(const void* user, std::int64_t size) {
  constexpr auto heap_word = static_cast<std::int64_t>(HEAP_WORD_BYTES);
  const auto* bytes = static_cast<const unsigned char*>(user);
  warm_cache_line(bytes - (BLOCK_HEADER_BYTES + heap_word));
  warm_cache_line(bytes + size + (BLOCK_GUARD_BYTES + heap_word));
}

// Where the user area of a block of size bytes requested right after one
// of first_size bytes usually begins, counted from the first one's user
// area: the heap's usual distance between the two heap blocks
// (heap_block_distance). A guess, for cache requests only; a wrong one
// wastes a request.
constexpr std::int64_t next_block_distance(std::int64_t first_size) {
  return static_cast<std::int64_t>(
      heap_block_distance(static_cast<std::size_t>(first_size + BLOCK_OVERHEAD_BYTES)));
}

namespace memory_detail {
// Takes the pointer out of the owner's variable and clears the variable
// before anything else happens. Null owner or null variable: nothing happens.
template <typename T>
inline void release_owned(T** owner, bool wipe, MemoryOperation asking) {
  if (owner == nullptr || *owner == nullptr) return;
  void* user = *owner;
  *owner = nullptr;
  release_block(user, wipe, asking);
}

// One address of the batch. A null address ends the list: nothing after it
// is read, which `ended` carries through the rest of the fold.
inline void batch_step(bool& ended, bool, std::nullptr_t) {
  ended = true;
}
template <typename T>
inline void batch_step(bool& ended, bool wipe, T** owner) {
  if (ended) return;
  if (owner == nullptr) {
    ended = true;
    return;
  }
  release_owned(owner, wipe, MemoryOperation::deallocate_batch);
}
}  // namespace memory_detail

// deallocate(&ptr, wipe): release the block held in the pointer variable ptr.
template <typename T>
inline void deallocate(T** owner, bool wipe) {
  memory_detail::release_owned(owner, wipe, MemoryOperation::deallocate);
}

// deallocate_batch(wipe, &a, &b, nullptr): releases the blocks held in the
// listed pointer variables, in argument order, each before the next address is
// taken. The list ends at the first null address; a variable holding null is
// skipped. wipe: any non-zero value means true. The last argument must be the
// null end mark.
template <typename... Owners>
inline void deallocate_batch(int wipe, Owners... owners) {
  static_assert(sizeof...(Owners) > 0, "deallocate_batch needs its null end mark");
  using Last = std::tuple_element_t<sizeof...(Owners) - 1, std::tuple<Owners...>>;
  static_assert(std::is_same_v<Last, std::nullptr_t>,
                "the last argument of deallocate_batch is the null end mark");
  bool ended = false;
  (memory_detail::batch_step(ended, wipe != 0, owners), ...);
}
