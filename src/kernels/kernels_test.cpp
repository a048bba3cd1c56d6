// Tests of the byte kernels: every scan and lower_case in each version the
// build has (scalar always, vector where SSE2 is present and not switched
// off), against the stop-class definitions and against each other.
#include "kernels/kernels.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/guard_pages.hpp"

namespace {

using ScanFunction = std::int64_t (*)(const char*);
using ClassTest = bool (*)(unsigned char);

// A scan in its versions, its stop class written out from the byte table
// (not taken from stops_at, so that a wrong definition there shows), and a
// byte outside that class to fill runs with. vector is null where the build
// has no vector kernels.
struct Scanner {
  const char* name;
  ScanFunction scalar;
  ScanFunction vector;
  ScanFunction program;  // the version the program runs
  ClassTest stops;
  ClassTest defined;  // stops_at for the class
  char filler;
};

#if defined(HOSTZONES_VECTOR_KERNELS)
template <ScanClass C>
constexpr ScanFunction vector_of = scan_vector<C>;
#else
template <ScanClass C>
constexpr ScanFunction vector_of = nullptr;
#endif

template <ScanClass C>
Scanner scanner(const char* name, ScanFunction program, ClassTest stops, char filler) {
  return {name, scan_scalar<C>, vector_of<C>, program, stops, stops_at<C>, filler};
}

const Scanner scanners[] = {
    scanner<ScanClass::token_or_nul>(
        "skip_blanks", skip_blanks, [](unsigned char c) { return c == 0x00 || c >= 0x21; }, ' '),
    scanner<ScanClass::blank_or_nul>(
        "find_blank", find_blank, [](unsigned char c) { return c <= 0x20; }, 'a'),
    scanner<ScanClass::newline_or_nul>(
        "find_line_end", find_line_end, [](unsigned char c) { return c == 0x00 || c == 0x0a; },
        'a'),
    scanner<ScanClass::dot_or_nul>(
        "find_dot", find_dot, [](unsigned char c) { return c == 0x00 || c == 0x2e; }, 'a'),
    scanner<ScanClass::nul>(
        "find_nul", find_nul, [](unsigned char c) { return c == 0x00; }, 'a'),
};

// Every version of s the build has, each with its name.
std::vector<std::pair<std::string, ScanFunction>> versions(const Scanner& s) {
  std::vector<std::pair<std::string, ScanFunction>> all = {
      {std::string(s.name) + " scalar", s.scalar}, {std::string(s.name), s.program}};
  if (s.vector != nullptr) all.emplace_back(std::string(s.name) + " vector", s.vector);
  return all;
}

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
          for (const auto& [name, scan] : versions(s))
            EXPECT_EQ(scan(p), expected) << name;
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
      EXPECT_EQ(s.defined(c), s.stops(c)) << s.name << " class definition at byte " << b;
      alignas(16) char buf[32] = {};
      buf[3] = static_cast<char>(c);
      buf[4] = s.filler;
      const std::int64_t expected = s.stops(c) ? 0 : reference_count(s, buf + 3);
      for (const auto& [name, scan] : versions(s))
        EXPECT_EQ(scan(buf + 3), expected) << name << " " << b;
    }
  }
}

TEST(Scanners, EveryVersionAgreesOnRandomBuffers) {
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
        for (const auto& [name, scan] : versions(s))
          ASSERT_EQ(scan(p + from), expected) << name << " round " << round << " from " << from;
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
          for (const auto& [name, scan] : versions(s))
            ASSERT_EQ(scan(str + from), expected) << name << " len " << len << " from " << from;
        }
      }
    }
  }
  guard_pages_close(&g);
}

// ---- the backward scan: find_last_dot ------------------------------------

using BackwardFunction = std::int64_t (*)(const char*, std::int64_t);

std::vector<std::pair<std::string, BackwardFunction>> last_dot_versions() {
  std::vector<std::pair<std::string, BackwardFunction>> all = {
      {"scalar", rscan_scalar<ScanClass::dot_or_nul>}, {"program", find_last_dot}};
#if defined(HOSTZONES_VECTOR_KERNELS)
  all.emplace_back("vector", rscan_vector<ScanClass::dot_or_nul>);
#endif
  return all;
}

// The last dot among text[0..end-1] by the definition, or -1.
std::int64_t reference_last_dot(const char* text, std::int64_t end) {
  for (std::int64_t i = end - 1; i >= 0; --i) {
    if (text[i] == '.') return i;
  }
  return -1;
}

TEST(LastDot, EveryVersionAgreesOnRandomNames) {
  // Names of up to 100 bytes at every alignment, dots at random places
  // (none, first, last, runs), every end from 0 to the length; the byte
  // after the end is a dot too, so a scan that looks past its end shows.
  std::mt19937 random(20261211);
  std::uniform_int_distribution<int> length(0, 100), offset(0, 15), kind(0, 99), byte(1, 255);
  alignas(16) char buf[160];
  for (int round = 0; round < 20000; ++round) {
    const int start = offset(random), len = length(random);
    char* p = buf + start;
    for (int i = 0; i < len; ++i) {
      const int k = kind(random);
      p[i] = static_cast<char>(k < 15 ? '.' : k < 60 ? 'a' + k % 26 : byte(random));
      if (p[i] == '\0') p[i] = 'x';
    }
    p[len] = '.';
    for (int end = 0; end <= len; ++end) {
      const std::int64_t expected = reference_last_dot(p, end);
      for (const auto& [name, last_dot] : last_dot_versions())
        ASSERT_EQ(last_dot(p, end), expected) << name << " round " << round << " end " << end;
    }
  }
}

TEST(LastDot, StaysWithinTheTextAtPageEdges) {
  // Texts ending at the last byte of the page or starting at its first, with
  // a dot at every position or none; any read outside the text's aligned
  // blocks faults.
  GuardPages g = guard_pages_open();
  ASSERT_NE(g.mapping, nullptr);
  for (std::int64_t len = 0; len <= 64; ++len) {
    for (std::int64_t dot = -1; dot < len; ++dot) {
      for (int placement = 0; placement < 2; ++placement) {
        char* text = placement == 0 ? guard_pages_end_at_boundary(g, static_cast<std::size_t>(len))
                                    : guard_pages_start_at_boundary(g);
        std::memset(text, 'a', static_cast<std::size_t>(len));
        if (dot >= 0) text[dot] = '.';
        for (const auto& [name, last_dot] : last_dot_versions())
          ASSERT_EQ(last_dot(text, len), dot) << name << " len " << len << " dot " << dot;
      }
    }
  }
  guard_pages_close(&g);
}

// ---- lower_case ----------------------------------------------------------

using LowerFunction = void (*)(char*, std::int64_t);

std::vector<std::pair<std::string, LowerFunction>> lower_versions() {
  std::vector<std::pair<std::string, LowerFunction>> all = {{"scalar", lower_case_scalar},
                                                            {"program", lower_case}};
#if defined(HOSTZONES_VECTOR_KERNELS)
  all.emplace_back("vector", lower_case_vector);
#endif
  return all;
}

TEST(LowerCase, OnlyAToZAtEveryLengthAndOffset) {
  // Every byte value, in texts of every length up to 40 (the 8- and 16-byte
  // steps and their overlapping tails), with guard bytes on both sides that
  // must stay as they are.
  for (const auto& [name, lower] : lower_versions()) {
    for (int len = 0; len <= 40; ++len) {
      for (int first = 0; first < 256; first += 7) {
        std::string text(static_cast<std::size_t>(len) + 2, 'Q');
        for (int i = 0; i < len; ++i)
          text[static_cast<std::size_t>(i) + 1] = static_cast<char>((first + 13 * i) & 0xff);
        std::string expected = text;
        for (int i = 1; i <= len; ++i) {
          const auto c = static_cast<unsigned char>(expected[static_cast<std::size_t>(i)]);
          if (c >= 'A' && c <= 'Z')
            expected[static_cast<std::size_t>(i)] = static_cast<char>(c + 32);
        }
        lower(text.data() + 1, len);
        ASSERT_EQ(text, expected) << name << " len " << len << " first " << first;
      }
    }
  }
}

TEST(LowerCase, TouchesNoByteOutsideTheTextAtPageEdges) {
  GuardPages g = guard_pages_open();
  ASSERT_NE(g.mapping, nullptr);
  for (const auto& [name, lower] : lower_versions()) {
    for (std::size_t len = 0; len <= 40; ++len) {
      char* end = guard_pages_end_at_boundary(g, len);
      std::memset(end, 'A', len);
      lower(end, static_cast<std::int64_t>(len));
      ASSERT_EQ(std::string(end, len), std::string(len, 'a')) << name << " len " << len;
      char* start = guard_pages_start_at_boundary(g);
      std::memset(start, 'Z', len);
      lower(start, static_cast<std::int64_t>(len));
      ASSERT_EQ(std::string(start, len), std::string(len, 'z')) << name << " len " << len;
    }
  }
  guard_pages_close(&g);
}

}  // namespace
