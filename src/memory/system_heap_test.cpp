// The platform seam as the program links it (not the test heap), and the
// prepared heap beneath it on Linux with glibc, called directly because a
// sanitized build's seam keeps the plain heap: blocks of every size from
// malloc, calloc and realloc, with the large ones in mappings of their own
// in the prepared heap, and the fatal log. Built as an executable of its
// own, since every other test links the test heap.
#include "memory/system_heap.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "memory/prepared_heap.hpp"

namespace {

// One heap under test: its four calls.
struct Heap {
  const char* name;
  void* (*get)(std::size_t);
  void* (*get_zeroed)(std::size_t);
  void* (*resize)(void*, std::size_t);
  void (*release)(void*);
};

void PrintTo(const Heap& heap, std::ostream* os) {
  *os << heap.name;
}

const Heap heaps[] = {
    {"seam", heap_malloc, heap_calloc, heap_realloc, heap_free},
#if defined(HOSTZONES_HAS_PREPARED_HEAP)
    {"prepared", prepared_malloc, prepared_calloc, prepared_realloc, prepared_free},
#endif
};

class SystemHeap : public testing::TestWithParam<Heap> {};

// Sizes around the threshold of a mapping of its own (128 KiB), and some
// far below and above it.
const std::size_t sizes[] = {
    1, 24, 4096, (128 << 10) - 1, 128 << 10, (128 << 10) + 1, 1 << 20, (3 << 20) + 5};

// A byte pattern that differs from block to block.
unsigned char pattern(std::size_t block, std::size_t i) {
  return static_cast<unsigned char>(block * 31 + i * 7 + 1);
}

TEST_P(SystemHeap, BlocksOfEverySizeHoldTheirBytesUntilReleased) {
  const Heap& heap = GetParam();
  // More large blocks at once than the seam keeps mappings for, so that
  // the later ones come from malloc: every one must work all the same.
  std::vector<unsigned char*> blocks;
  for (int round = 0; round < 5; ++round) {
    for (const std::size_t size : sizes) {
      const bool zero = blocks.size() % 2 == 0;
      auto* block = static_cast<unsigned char*>(zero ? heap.get_zeroed(size) : heap.get(size));
      ASSERT_NE(block, nullptr) << size;
      for (std::size_t i = 0; i < size; ++i) {
        if (zero) {
          ASSERT_EQ(block[i], 0) << size << " at " << i;
        }
        block[i] = pattern(blocks.size(), i);
      }
      blocks.push_back(block);
    }
  }
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const std::size_t size = sizes[b % std::size(sizes)];
    for (std::size_t i = 0; i < size; i += 97)
      ASSERT_EQ(blocks[b][i], pattern(b, i)) << "block " << b << " at " << i;
  }
  for (unsigned char* block : blocks)
    heap.release(block);
}

TEST_P(SystemHeap, ReallocKeepsTheBytesAcrossEverySizeChange) {
  const Heap& heap = GetParam();
  // Small to large, large to larger, large to small and back: the bytes
  // both sizes share survive, wherever the block lives before and after.
  for (const std::size_t from : sizes) {
    for (const std::size_t to : sizes) {
      auto* block = static_cast<unsigned char*>(heap.get(from));
      ASSERT_NE(block, nullptr);
      for (std::size_t i = 0; i < from; ++i)
        block[i] = pattern(from, i);
      auto* resized = static_cast<unsigned char*>(heap.resize(block, to));
      ASSERT_NE(resized, nullptr) << from << " -> " << to;
      const std::size_t kept = from < to ? from : to;
      for (std::size_t i = 0; i < kept; ++i)
        ASSERT_EQ(resized[i], pattern(from, i)) << from << " -> " << to << " at " << i;
      std::memset(resized, 0x5a, to);  // the whole new size is usable
      heap.release(resized);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Heaps, SystemHeap, testing::ValuesIn(heaps));

TEST(SystemHeapDeathTest, FatalSentenceEndsTheProcessWithStatusOne) {
  EXPECT_EXIT(heap_fatal("Corruption of allocated memory detected by deallocate()."),
              testing::ExitedWithCode(1), "");
}

}  // namespace
