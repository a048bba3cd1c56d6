// Guarded allocator: header and guard word around every heap block, one
// atomic byte total, and a fatal log line on corruption. See memory.hpp for
// the block layout and the contracts.
#include "memory/memory.hpp"

#include <cstddef>
#include <cstring>
#include <limits>

#include "memory/system_heap.hpp"

std::atomic<std::int64_t> allocated_bytes{0};

namespace {

// The heap block's two header words, as 64-bit quantities.
struct BlockHeader {
  std::int64_t size;
  std::uint64_t check;
};

const char* corruption_sentence(MemoryOperation asking) {
  switch (asking) {
    case MemoryOperation::reallocate:
      return "Corruption of allocated memory detected by reallocate().";
    case MemoryOperation::deallocate:
      return "Corruption of allocated memory detected by deallocate().";
    case MemoryOperation::deallocate_batch:
      return "Corruption of allocated memory detected by deallocate_batch().";
    case MemoryOperation::countAllocation:
      break;
  }
  return "Corruption of allocated memory detected by countAllocation().";
}

// Any change of the size word changes this word: a size damaged in a bit
// the address has set as well shows, as every other change does.
std::uint64_t check_word_for(std::int64_t size, const void* block) {
  return static_cast<std::uint64_t>(size) ^
         static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(block));
}

// Heap bytes for a user area of size bytes, or 0 when size is negative or the
// heap block (size + 24 bytes) would be larger than PTRDIFF_MAX: the largest
// object in which every pointer difference is defined, and more than malloc
// hands out anyway. Every offset within a block therefore fits
// std::ptrdiff_t; where pointers have 32 bits, no block reaches 2^31 bytes.
std::size_t heap_bytes_for(std::int64_t size) {
  constexpr auto kLargestBlock =
      static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
  if (size < 0 || static_cast<std::uint64_t>(size) > kLargestBlock - BLOCK_OVERHEAD_BYTES) return 0;
  return static_cast<std::size_t>(size + BLOCK_OVERHEAD_BYTES);
}

unsigned char* user_area(void* block) {
  return static_cast<unsigned char*>(block) + BLOCK_HEADER_BYTES;
}

void* block_of(void* user) {
  return static_cast<unsigned char*>(user) - BLOCK_HEADER_BYTES;
}

void clear_guard_word(void* block, std::int64_t size) {
  std::memset(user_area(block) + size, 0, BLOCK_GUARD_BYTES);
}

void seal_block(void* block, std::int64_t size) {
  auto* header = static_cast<BlockHeader*>(block);
  header->size = size;
  header->check = check_word_for(size, block);
}

// Checks the check word, then (only if it matched) the guard word; a bad
// block ends the process under the asking operation's sentence.
void validate_block(void* block, MemoryOperation asking) {
  const auto* header = static_cast<const BlockHeader*>(block);
  const std::int64_t size = header->size;
  if (header->check != check_word_for(size, block)) heap_fatal(corruption_sentence(asking));
  std::uint64_t guard;
  std::memcpy(&guard, user_area(block) + size, sizeof guard);
  if (guard != 0) heap_fatal(corruption_sentence(asking));
}

}  // namespace

void countAllocation(std::int64_t delta) {
  const std::int64_t total = allocated_bytes.fetch_add(delta, std::memory_order_relaxed) + delta;
  if (total < 0) heap_fatal(corruption_sentence(MemoryOperation::countAllocation));
}

void* allocate(std::int64_t size, bool zero_fill) {
  const std::size_t bytes = heap_bytes_for(size);
  if (bytes == 0) return nullptr;
  void* block = zero_fill ? heap_calloc(bytes) : heap_malloc(bytes);
  if (block == nullptr) return nullptr;
  if (!zero_fill) clear_guard_word(block, size);
  countAllocation(size);
  seal_block(block, size);
  return user_area(block);
}

void* reallocate(void* ptr, std::int64_t size, bool zero_fill, bool release_on_failure) {
  if (size < 0) return nullptr;
  if (ptr == nullptr) return allocate(size, zero_fill);

  void* block = block_of(ptr);
  validate_block(block, MemoryOperation::reallocate);
  auto* header = static_cast<BlockHeader*>(block);
  const std::int64_t old_size = header->size;
  header->check = 0;

  const std::size_t bytes = heap_bytes_for(size);
  void* resized = bytes == 0 ? nullptr : heap_realloc(block, bytes);
  if (resized == nullptr) {
    if (release_on_failure) {
      countAllocation(-old_size);
      heap_free(block);
    } else {
      header->check = check_word_for(old_size, block);
    }
    return nullptr;
  }

  const std::int64_t carried = static_cast<const BlockHeader*>(resized)->size;
  unsigned char* user = user_area(resized);
  if (zero_fill && size > carried) {
    std::memset(user + carried, 0, static_cast<std::size_t>(size - carried + BLOCK_GUARD_BYTES));
  } else {
    clear_guard_word(resized, size);
  }
  countAllocation(size - carried);
  seal_block(resized, size);
  return user;
}

void release_block(void* user, bool wipe, MemoryOperation asking) {
  void* block = block_of(user);
  validate_block(block, asking);
  auto* header = static_cast<BlockHeader*>(block);
  const std::int64_t size = header->size;
  header->check = 0;
  countAllocation(-size);
  if (wipe) std::memset(block, 0, static_cast<std::size_t>(size + BLOCK_OVERHEAD_BYTES));
  heap_free(block);
}
