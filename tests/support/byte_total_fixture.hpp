// Test support: a GoogleTest fixture for tests of code that allocates. It
// resets the heap seam (no injected failures, no snapshots) around every test
// and checks that the test leaves the allocator's byte total where it found
// it: a leak or a double release fails the test that caused it.
// Header-only and used by tests alone; the program never includes it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "memory/memory.hpp"
#include "support/test_heap.hpp"

class ByteTotalTest : public testing::Test {
 protected:
  void SetUp() override {
    test_heap_reset();
    start_ = allocated_bytes.load();
  }
  void TearDown() override {
    test_heap_reset();
    EXPECT_EQ(allocated_bytes.load(), start_) << "bytes leaked or released twice";
  }
  std::int64_t start_ = 0;  // the byte total when the test began
};
