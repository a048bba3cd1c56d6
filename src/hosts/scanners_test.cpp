#include "hosts/scanners.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "memory/guard_pages.hpp"

namespace {

using ScanFunction = std::int64_t (*)(const char*);

// A scanner, its stop class written out from the byte table, and a byte
// outside that class to fill runs with.
struct Scanner {
  const char* name;
  ScanFunction scalar;
  ScanFunction fast;  // the version the program runs
  bool (*stops)(unsigned char);
  char filler;
};

const Scanner scanners[] = {
    {"skip_blanks", skip_blanks_scalar, skip_blanks,
     [](unsigned char c) { return c == 0x00 || c >= 0x21; }, ' '},
    {"find_blank", find_blank_scalar, find_blank, [](unsigned char c) { return c <= 0x20; }, 'a'},
    {"find_line_end", find_line_end_scalar, find_line_end,
     [](unsigned char c) { return c == 0x00 || c == 0x0a; }, 'a'},
    {"find_dot", find_dot_scalar, find_dot, [](unsigned char c) { return c == 0x00 || c == 0x2e; },
     'a'},
};

// Bytes next to every class edge.
const unsigned char boundary_bytes[] = {0x00, 0x01, 0x09, 0x0a, 0x0b, 0x0d, 0x20, 0x21, 0x2d,
                                        0x2e, 0x2f, 0x7f, 0x80, 0xdf, 0xe0, 0xfe, 0xff};

// The count from p by the definition: bytes before the first stop byte.
std::int64_t reference_count(const Scanner& s, const char* p) {
  std::int64_t i = 0;
  while (!s.stops(static_cast<unsigned char>(p[i])))
    ++i;
  return i;
}

TEST(Scanners, StopClassesAtEveryPositionAndAlignment) {
  // Stop candidates at offsets in the first block, at its edge and in later
  // aligned blocks, from every start alignment.
  const int positions[] = {0, 1, 2, 7, 14, 15, 16, 17, 30, 31, 32, 33, 47, 48, 63, 64, 100};
  for (const Scanner& s : scanners) {
    for (unsigned char b : boundary_bytes) {
      for (int pos : positions) {
        for (int align = 0; align < 16; ++align) {
          alignas(16) char buf[192];
          std::memset(buf, s.filler, sizeof buf);
          char* p = buf + align;
          p[pos] = static_cast<char>(b);
          p[pos + 5] = '\0';
          const std::int64_t expected = s.stops(b) ? pos : pos + 5;
          SCOPED_TRACE(testing::Message()
                       << s.name << " byte " << int(b) << " at " << pos << " alignment " << align);
          EXPECT_EQ(s.fast(p), expected);
          EXPECT_EQ(s.scalar(p), expected);
        }
      }
    }
  }
}

TEST(Scanners, StopClassTable) {
  // Every byte value against the class definitions.
  for (int b = 0; b < 256; ++b) {
    const auto c = static_cast<unsigned char>(b);
    const bool blank = c >= 0x01 && c <= 0x20;
    EXPECT_EQ(scanners[0].stops(c), !blank) << b;
    EXPECT_EQ(scanners[1].stops(c), blank || c == 0) << b;
    for (const Scanner& s : scanners) {
      alignas(16) char buf[32] = {};
      buf[3] = static_cast<char>(c);
      buf[4] = s.filler;
      const std::int64_t expected = s.stops(c) ? 0 : reference_count(s, buf + 3);
      EXPECT_EQ(s.fast(buf + 3), expected) << s.name << " " << b;
      EXPECT_EQ(s.scalar(buf + 3), expected) << s.name << " " << b;
    }
  }
}

TEST(Scanners, FastAndScalarAgreeOnRandomBuffers) {
  std::mt19937 random(20240611);
  const unsigned char common[] = {' ', '\t', '\n', '\r', '.', 'a', '#', 0x80, 0xdf, 0xe0};
  std::uniform_int_distribution<int> length(0, 100), offset(0, 15), byte(1, 255), kind(0, 99),
      pick(0, sizeof common - 1);
  alignas(16) char buf[160];
  for (int round = 0; round < 20000; ++round) {
    const int start = offset(random), len = length(random);
    char* p = buf + start;
    for (int i = 0; i < len; ++i) {
      const int k = kind(random);
      p[i] = static_cast<char>(k < 2 ? 0 : k < 50 ? common[pick(random)] : byte(random));
    }
    p[len] = '\0';
    for (const Scanner& s : scanners) {
      for (int from = 0; from <= len; ++from) {
        const std::int64_t expected = reference_count(s, p + from);
        ASSERT_EQ(s.fast(p + from), expected) << s.name << " round " << round << " from " << from;
        ASSERT_EQ(s.scalar(p + from), expected) << s.name << " round " << round;
      }
    }
  }
}

TEST(Scanners, StayWithinTheStringAtPageEdges) {
  // A string of len filler bytes and its NUL, ending at the last byte of the
  // page or starting at its first; every scan start inside it, so every
  // start alignment. Any read outside the string's aligned blocks faults.
  GuardPages g = guard_pages_open();
  ASSERT_NE(g.mapping, nullptr);
  for (const Scanner& s : scanners) {
    for (std::size_t len = 0; len <= 64; ++len) {
      for (int placement = 0; placement < 2; ++placement) {
        char* str = placement == 0 ? guard_pages_end_at_boundary(g, len + 1)
                                   : guard_pages_start_at_boundary(g);
        std::memset(str, s.filler, len);
        str[len] = '\0';
        for (std::size_t from = 0; from <= len; ++from) {
          const auto expected = static_cast<std::int64_t>(len - from);
          ASSERT_EQ(s.fast(str + from), expected) << s.name << " len " << len << " from " << from;
          ASSERT_EQ(s.scalar(str + from), expected) << s.name << " len " << len;
        }
      }
    }
  }
  guard_pages_close(&g);
}

}  // namespace
