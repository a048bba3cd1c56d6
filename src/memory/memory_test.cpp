#include "memory/memory.hpp"

#include <gtest/gtest.h>

TEST(Allocate, CountsAndReleases) {
  const auto before = allocated_bytes.load();
  void* p = allocate(10, false);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(allocated_bytes.load(), before + 10);
  deallocate(&p, false);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(allocated_bytes.load(), before);
}

TEST(AllocateDeath, GuardWord) {
  EXPECT_EXIT(
      {
        char* p = static_cast<char*>(allocate(4, false));
        p[4] = 1;
        deallocate(&p, false);
      },
      testing::ExitedWithCode(1), "Corruption of allocated memory detected by deallocate\\(\\)\\.");
}
