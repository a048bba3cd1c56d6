// Guarded allocator: block layout, byte total, release paths, resizing, and
// the fatal corruption path (death tests; the test heap seam writes the log
// sentence to standard error).
#include "memory/memory.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>

#include "support/byte_total_fixture.hpp"
#include "support/test_heap.hpp"

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
// The largest size whose heap block (size + 24 bytes) is at most PTRDIFF_MAX
// bytes: 2^31 - 25 where pointers have 32 bits.
constexpr std::int64_t kLargestBlockSize =
    static_cast<std::int64_t>(std::numeric_limits<std::ptrdiff_t>::max()) - 24;

unsigned char* bytes(void* p) {
  return static_cast<unsigned char*>(p);
}

std::int64_t size_word(void* user) {
  std::int64_t v;
  std::memcpy(&v, bytes(user) - 16, sizeof v);
  return v;
}

std::uint64_t check_word(void* user) {
  std::uint64_t v;
  std::memcpy(&v, bytes(user) - 8, sizeof v);
  return v;
}

std::uint64_t guard_word(void* user, std::int64_t size) {
  std::uint64_t v;
  std::memcpy(&v, bytes(user) + size, sizeof v);
  return v;
}

// The header a live block of size bytes must carry.
void expect_live_block(void* user, std::int64_t size) {
  EXPECT_EQ(size_word(user), size);
  EXPECT_EQ(check_word(user),
            static_cast<std::uint64_t>(size) ^ reinterpret_cast<std::uintptr_t>(bytes(user) - 16));
  EXPECT_EQ(guard_word(user, size), 0u);
}

void fill_pattern(void* user, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i)
    bytes(user)[i] = static_cast<unsigned char>(0xa0 + i % 31);
}

bool has_pattern(void* user, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i)
    if (bytes(user)[i] != static_cast<unsigned char>(0xa0 + i % 31)) return false;
  return true;
}

bool all_zero(const unsigned char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

class Allocator : public ByteTotalTest {
 protected:
  // Fail the next heap request.
  void fail_next_request() { test_heap.fail_at = test_heap.requests + 1; }
};

// ---- allocate and its release ----------------------------------------------

struct SizeCase {
  std::int64_t size;
  bool zero_fill;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
  *os << c.size << (c.zero_fill ? " zero-filled" : "");
}

class AllocateSizes : public Allocator, public testing::WithParamInterface<SizeCase> {};

TEST_P(AllocateSizes, LaysOutBlockCountsAndReleases) {
  const auto [size, zero_fill] = GetParam();
  void* p = allocate(size, zero_fill);
  ASSERT_NE(p, nullptr);
  expect_live_block(p, size);
  EXPECT_TRUE(!zero_fill || all_zero(bytes(p), static_cast<std::size_t>(size)));
  EXPECT_EQ(allocated_bytes.load(), start_ + size);
  fill_pattern(p, size);  // the whole user area is writable
  deallocate(&p, false);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(allocated_bytes.load(), start_);
  deallocate(&p, false);  // a second release through the same variable does nothing
  EXPECT_EQ(allocated_bytes.load(), start_);
}

// Size 0: the user pointer points straight at the guard word.
INSTANTIATE_TEST_SUITE_P(Table, AllocateSizes,
                         testing::Values(SizeCase{0, false}, SizeCase{0, true}, SizeCase{1, false},
                                         SizeCase{7, true}, SizeCase{8, false}, SizeCase{13, true},
                                         SizeCase{4096, false}, SizeCase{4096, true}));

// Negative sizes, and sizes whose heap block (size + 24 bytes) would exceed
// PTRDIFF_MAX, are refused like heap exhaustion: null, nothing counted, and
// the heap is not even asked.
class RefusedSizes : public Allocator, public testing::WithParamInterface<std::int64_t> {};

TEST_P(RefusedSizes, AllocateReturnsNullWithoutAskingTheHeap) {
  for (const bool zero_fill : {false, true}) {
    EXPECT_EQ(allocate(GetParam(), zero_fill), nullptr);
    EXPECT_EQ(reallocate(nullptr, GetParam(), zero_fill, true), nullptr);
  }
  EXPECT_EQ(test_heap.requests, 0);
  EXPECT_EQ(allocated_bytes.load(), start_);
}

TEST_P(RefusedSizes, ReallocateOfALiveBlock) {
  const std::int64_t size = GetParam();
  for (const bool release_on_failure : {false, true}) {
    void* p = allocate(16, false);
    ASSERT_NE(p, nullptr);
    fill_pattern(p, 16);
    const std::int64_t requests = test_heap.requests;
    EXPECT_EQ(reallocate(p, size, true, release_on_failure), nullptr);
    EXPECT_EQ(test_heap.requests, requests);
    if (size < 0 || !release_on_failure) {
      // A negative size leaves the block alone entirely; an oversized one
      // without release_on_failure leaves it valid and unchanged.
      expect_live_block(p, 16);
      EXPECT_TRUE(has_pattern(p, 16));
      EXPECT_EQ(allocated_bytes.load(), start_ + 16);
      deallocate(&p, false);
    } else {
      EXPECT_EQ(test_heap.last_freed_block, bytes(p) - 16);
    }
    EXPECT_EQ(allocated_bytes.load(), start_);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, RefusedSizes,
                         testing::Values(std::int64_t{-1}, std::int64_t{-24},
                                         std::numeric_limits<std::int64_t>::min(), kMax - 23, kMax,
                                         kLargestBlockSize + 1));

TEST_F(Allocator, HeapExhaustionReturnsNullAndCountsNothing) {
  for (const bool zero_fill : {false, true}) {
    fail_next_request();
    EXPECT_EQ(allocate(32, zero_fill), nullptr);
    EXPECT_EQ(allocated_bytes.load(), start_);
  }
}

TEST_F(Allocator, ReleaseOfNullAddressOrNullVariableDoesNothing) {
  deallocate(static_cast<void**>(nullptr), true);
  void* empty = nullptr;
  deallocate(&empty, true);
  deallocate_batch(1, &empty, nullptr);
  deallocate_batch(0, nullptr);
  EXPECT_EQ(test_heap.last_freed_block, nullptr);
}

// ---- deallocate_batch --------------------------------------------------------

TEST_F(Allocator, BatchStopsAtTheNullAddress) {
  void* a = allocate(10, false);
  char* b = static_cast<char*>(allocate(20, true));
  void* c = allocate(30, false);
  ASSERT_TRUE(a && b && c);
  const void* b_block = b - 16;
  void* const c_before = c;
  deallocate_batch(0, &a, &b, static_cast<void**>(nullptr), &c, nullptr);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(test_heap.last_freed_block, b_block);  // released in argument order
  EXPECT_EQ(c, c_before);                          // after the end mark: untouched
  expect_live_block(c, 30);
  EXPECT_EQ(allocated_bytes.load(), start_ + 30);
  deallocate(&c, false);
}

TEST_F(Allocator, BatchSkipsVariablesHoldingNull) {
  void* a = allocate(10, false);
  void* empty = nullptr;
  void* b = allocate(0, false);
  ASSERT_TRUE(a && b);
  deallocate_batch(0, &a, &empty, &b, nullptr);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(allocated_bytes.load(), start_);
}

// ---- wipe: the whole heap block as it is handed to free -----------------------

enum class Release { deallocate, batch, realloc_failure };

struct WipeCase {
  Release release;
  int wipe;  // deallocate_batch takes any non-zero int as true
};

const char* release_name(Release r) {
  return r == Release::deallocate ? "deallocate" : r == Release::batch ? "batch" : "reallocate";
}

void PrintTo(const WipeCase& c, std::ostream* os) {
  *os << release_name(c.release) << " wipe " << c.wipe;
}

class Wipe : public Allocator, public testing::WithParamInterface<WipeCase> {};

TEST_P(Wipe, ZeroesHeaderUserAreaAndGuardOnlyWhenAsked) {
  const auto [release, wipe] = GetParam();
  constexpr std::int64_t kSize = 21;
  constexpr std::size_t kBlock = kSize + 24;
  void* p = allocate(kSize, false);
  ASSERT_NE(p, nullptr);
  fill_pattern(p, kSize);
  const void* block = bytes(p) - 16;
  test_heap.snapshot_bytes = kBlock;
  switch (release) {
    case Release::deallocate:
      deallocate(&p, wipe != 0);
      break;
    case Release::batch:
      deallocate_batch(wipe, &p, nullptr);
      break;
    case Release::realloc_failure:
      fail_next_request();
      EXPECT_EQ(reallocate(p, 4 * kSize, false, true), nullptr);
      p = nullptr;
      break;
  }
  EXPECT_EQ(p, nullptr);
  ASSERT_EQ(test_heap.last_freed_block, block);
  EXPECT_EQ(allocated_bytes.load(), start_);
  if (wipe != 0) {
    EXPECT_TRUE(all_zero(test_heap.last_freed, kBlock));
  } else {
    // Released but not wiped: size word kept, check word cleared, contents kept.
    std::int64_t size;
    std::uint64_t check;
    std::memcpy(&size, test_heap.last_freed, 8);
    std::memcpy(&check, test_heap.last_freed + 8, 8);
    EXPECT_EQ(size, kSize);
    EXPECT_EQ(check, 0u);
    bool pattern = true;
    for (std::int64_t i = 0; i < kSize; ++i)
      pattern =
          pattern && test_heap.last_freed[16 + i] == static_cast<unsigned char>(0xa0 + i % 31);
    EXPECT_TRUE(pattern);
    EXPECT_TRUE(all_zero(test_heap.last_freed + 16 + kSize, 8));
  }
}

// A failed resize with release_on_failure frees without wiping.
INSTANTIATE_TEST_SUITE_P(Table, Wipe,
                         testing::Values(WipeCase{Release::deallocate, 0},
                                         WipeCase{Release::deallocate, 1},
                                         WipeCase{Release::batch, 0}, WipeCase{Release::batch, 7},
                                         WipeCase{Release::realloc_failure, 0}));

// ---- reallocate ----------------------------------------------------------------

struct ResizeCase {
  std::int64_t from;
  std::int64_t to;
  bool zero_fill;
};

void PrintTo(const ResizeCase& c, std::ostream* os) {
  *os << c.from << " to " << c.to << (c.zero_fill ? " zero-filled" : "");
}

class Resize : public Allocator, public testing::WithParamInterface<ResizeCase> {};

TEST_P(Resize, KeepsContentsZeroesGrowthAndCountsTheDifference) {
  const auto [from, to, zero_fill] = GetParam();
  void* p = allocate(from, false);
  ASSERT_NE(p, nullptr);
  fill_pattern(p, from);
  void* q = reallocate(p, to, zero_fill, true);
  ASSERT_NE(q, nullptr);
  expect_live_block(q, to);
  EXPECT_TRUE(has_pattern(q, from < to ? from : to));
  if (zero_fill && to > from) {
    EXPECT_TRUE(all_zero(bytes(q) + from, static_cast<std::size_t>(to - from)));
  }
  EXPECT_EQ(allocated_bytes.load(), start_ + to);
  fill_pattern(q, to);  // the whole new user area is writable
  deallocate(&q, false);
  EXPECT_EQ(allocated_bytes.load(), start_);
}

INSTANTIATE_TEST_SUITE_P(Table, Resize,
                         testing::Values(ResizeCase{8, 200, true}, ResizeCase{8, 200, false},
                                         ResizeCase{0, 33, true}, ResizeCase{5, 4096, true},
                                         ResizeCase{200, 8, true}, ResizeCase{200, 8, false},
                                         ResizeCase{17, 0, false}, ResizeCase{40, 40, true}));

TEST_F(Allocator, ReallocateOfNullIsAllocate) {
  void* p = reallocate(nullptr, 50, true, false);
  ASSERT_NE(p, nullptr);
  expect_live_block(p, 50);
  EXPECT_TRUE(all_zero(bytes(p), 50));
  EXPECT_EQ(allocated_bytes.load(), start_ + 50);
  deallocate(&p, false);
  fail_next_request();
  EXPECT_EQ(reallocate(nullptr, 50, false, true), nullptr);
}

TEST_F(Allocator, FailedResizeWithoutReleaseKeepsTheBlock) {
  for (const bool zero_fill : {false, true}) {
    void* p = allocate(24, false);
    ASSERT_NE(p, nullptr);
    fill_pattern(p, 24);
    fail_next_request();
    EXPECT_EQ(reallocate(p, 1000, zero_fill, false), nullptr);
    expect_live_block(p, 24);
    EXPECT_TRUE(has_pattern(p, 24));
    EXPECT_EQ(allocated_bytes.load(), start_ + 24);
    // Still the caller's: it can be resized and released normally.
    p = reallocate(p, 100, zero_fill, false);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(has_pattern(p, 24));
    EXPECT_EQ(allocated_bytes.load(), start_ + 100);
    deallocate(&p, false);
  }
}

TEST_F(Allocator, FailedResizeWithReleaseFreesTheBlock) {
  void* p = allocate(24, false);
  ASSERT_NE(p, nullptr);
  const void* block = bytes(p) - 16;
  fail_next_request();
  EXPECT_EQ(reallocate(p, 1000, true, true), nullptr);
  EXPECT_EQ(test_heap.last_freed_block, block);
  EXPECT_EQ(allocated_bytes.load(), start_);
}

// A negative size returns before validation: even a damaged block is left
// alone without a report.
TEST_F(Allocator, NegativeResizeDoesNotValidate) {
  auto* p = static_cast<unsigned char*>(allocate(4, false));
  ASSERT_NE(p, nullptr);
  p[4] = 1;  // damage the guard word
  EXPECT_EQ(reallocate(p, -5, false, true), nullptr);
  EXPECT_EQ(p[4], 1);
  p[4] = 0;
  deallocate(&p, false);
}

// ---- fatal corruption ----------------------------------------------------------

enum class Damage {
  guard_first_byte,
  guard_last_byte,
  check_word,
  size_word,
  huge_size_word,
  size_bit_of_address
};

struct CorruptionCase {
  Release operation;  // realloc_failure stands for reallocate here
  Damage damage;
  const char* sentence;
};

void damage_block(unsigned char* user, std::int64_t size, Damage damage) {
  switch (damage) {
    case Damage::guard_first_byte:
      user[size] = 1;
      break;
    case Damage::guard_last_byte:
      user[size + 7] = 0x80;
      break;
    case Damage::check_word:
      user[-8] ^= 0x40;
      break;
    case Damage::size_word:
      user[-16] ^= 0x03;
      break;
    case Damage::huge_size_word: {
      // A size that would address unmapped memory: the check word must be
      // compared first, so the guard word is never read through it.
      const std::int64_t huge = std::int64_t{1} << 60;
      std::memcpy(user - 16, &huge, sizeof huge);
      break;
    }
    case Damage::size_bit_of_address: {
      // The highest bit the block's address has set, set in the size word
      // too: a size far beyond the block, from damage a check word made of
      // size | address would not show.
      const auto address = reinterpret_cast<std::uintptr_t>(user - 16);
      std::uint64_t bit = 1;
      while ((address >> 1) >= bit)
        bit <<= 1;
      std::int64_t damaged;
      std::memcpy(&damaged, user - 16, sizeof damaged);
      damaged |= static_cast<std::int64_t>(bit);
      std::memcpy(user - 16, &damaged, sizeof damaged);
      break;
    }
  }
}

void release_damaged(Release operation, Damage damage) {
  constexpr std::int64_t kSize = 12;
  auto* p = static_cast<unsigned char*>(allocate(kSize, false));
  damage_block(p, kSize, damage);
  switch (operation) {
    case Release::deallocate:
      deallocate(&p, false);
      break;
    case Release::batch: {
      void* before = allocate(3, false);
      deallocate_batch(0, &before, &p, nullptr);
      break;
    }
    case Release::realloc_failure:
      p = static_cast<unsigned char*>(reallocate(p, 64, false, false));
      break;
  }
}

void PrintTo(const CorruptionCase& c, std::ostream* os) {
  static const char* const damages[] = {"guard first byte", "guard last byte",
                                        "check word",       "size word",
                                        "huge size word",   "size bit the address has"};
  *os << release_name(c.operation) << ", " << damages[static_cast<int>(c.damage)];
}

class Corruption : public testing::TestWithParam<CorruptionCase> {};

TEST_P(Corruption, EndsTheProcessUnderTheOperationsSentence) {
  const auto [operation, damage, sentence] = GetParam();
  EXPECT_EXIT(release_damaged(operation, damage), testing::ExitedWithCode(1),
              std::string("^") + sentence + "\n$");
}

#define HZ_SENTENCE(op) "Corruption of allocated memory detected by " op "\\(\\)\\."
constexpr const char* kByReallocate = HZ_SENTENCE("reallocate");
constexpr const char* kByDeallocate = HZ_SENTENCE("deallocate");
constexpr const char* kByBatch = HZ_SENTENCE("deallocate_batch");
constexpr const char* kByCount = HZ_SENTENCE("countAllocation");
#undef HZ_SENTENCE

INSTANTIATE_TEST_SUITE_P(
    Table, Corruption,
    testing::Values(
        CorruptionCase{Release::deallocate, Damage::guard_first_byte, kByDeallocate},
        CorruptionCase{Release::deallocate, Damage::guard_last_byte, kByDeallocate},
        CorruptionCase{Release::deallocate, Damage::check_word, kByDeallocate},
        CorruptionCase{Release::deallocate, Damage::size_word, kByDeallocate},
        CorruptionCase{Release::deallocate, Damage::huge_size_word, kByDeallocate},
        CorruptionCase{Release::deallocate, Damage::size_bit_of_address, kByDeallocate},
        CorruptionCase{Release::batch, Damage::guard_first_byte, kByBatch},
        CorruptionCase{Release::batch, Damage::guard_last_byte, kByBatch},
        CorruptionCase{Release::batch, Damage::check_word, kByBatch},
        CorruptionCase{Release::batch, Damage::huge_size_word, kByBatch},
        CorruptionCase{Release::batch, Damage::size_bit_of_address, kByBatch},
        CorruptionCase{Release::realloc_failure, Damage::guard_first_byte, kByReallocate},
        CorruptionCase{Release::realloc_failure, Damage::guard_last_byte, kByReallocate},
        CorruptionCase{Release::realloc_failure, Damage::check_word, kByReallocate},
        CorruptionCase{Release::realloc_failure, Damage::huge_size_word, kByReallocate},
        CorruptionCase{Release::realloc_failure, Damage::size_bit_of_address, kByReallocate}));

// A total that would turn negative is reported by countAllocation, also when
// a valid block's release causes it (the counter changes after validation).
TEST(CorruptionCount, NegativeTotalIsFatal) {
  const std::string expected = std::string("^") + kByCount + "\n$";
  EXPECT_EXIT(countAllocation(-allocated_bytes.load() - 1), testing::ExitedWithCode(1), expected);
  EXPECT_EXIT(
      {
        void* p = allocate(5, false);
        allocated_bytes.store(0);
        deallocate(&p, false);
      },
      testing::ExitedWithCode(1), expected);
  EXPECT_EXIT(
      {
        void* p = allocate(5, false);
        allocated_bytes.store(2);
        p = reallocate(p, 1, false, false);
      },
      testing::ExitedWithCode(1), expected);
}

// The owner's variable is cleared before validation, so even the releasing
// call that ends the process leaves no dangling pointer behind it.
TEST(CorruptionOwner, VariableIsClearedBeforeValidation) {
  EXPECT_EXIT(
      {
        static unsigned char* p = static_cast<unsigned char*>(allocate(4, false));
        p[4] = 1;
        std::atexit([] {
          if (p == nullptr) (void)!write(2, "owner cleared\n", 14);
        });
        deallocate(&p, false);
      },
      testing::ExitedWithCode(1), "owner cleared");
}

}  // namespace
