// Tests of the byte kernels: every scan and lower_case in each version the
// build has (scalar always, vector where SSE2 is present and not switched
// off), against the stop-class definitions and against each other.
#include "kernels/kernels.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/guard_pages.hpp"

namespace {

using ScanFunction = std::int64_t (*)(const char*);
using ClassTest = bool (*)(unsigned char);

// A scan in its versions, its stop class written out from the byte table
// (not taken from stops_at, so that a wrong definition there shows), a byte
// outside that class to fill runs with, and one inside it (not NUL where
// the class has another). vector is null where the build has no vector
// kernels.
struct Scanner {
  const char* name;
  ScanFunction scalar;
  ScanFunction vector;
  ScanFunction program;  // the version the program runs
  ClassTest stops;
  ClassTest defined;  // stops_at for the class
  char filler;
  char stop;
};

#if defined(HOSTZONES_VECTOR_KERNELS)
template <ScanClass C>
constexpr ScanFunction vector_of = scan_vector<C>;
#else
template <ScanClass C>
constexpr ScanFunction vector_of = nullptr;
#endif

template <ScanClass C>
Scanner scanner(const char* name, ScanFunction program, ClassTest stops, char filler, char stop) {
  return {name, scan_scalar<C>, vector_of<C>, program, stops, stops_at<C>, filler, stop};
}

const Scanner scanners[] = {
    scanner<ScanClass::token_or_nul>(
        "skip_blanks", skip_blanks, [](unsigned char c) { return c == 0x00 || c >= 0x21; }, ' ',
        'a'),
    scanner<ScanClass::blank_or_nul>(
        "find_blank", find_blank, [](unsigned char c) { return c <= 0x20; }, 'a', ' '),
    scanner<ScanClass::newline_or_nul>(
        "find_line_end", find_line_end, [](unsigned char c) { return c == 0x00 || c == 0x0a; }, 'a',
        '\n'),
    scanner<ScanClass::dot_or_nul>(
        "find_dot", find_dot, [](unsigned char c) { return c == 0x00 || c == 0x2e; }, 'a', '.'),
    scanner<ScanClass::nul>(
        "find_nul", find_nul, [](unsigned char c) { return c == 0x00; }, 'a', '\0'),
};

// Every version of s the build has, each with its name.
std::vector<std::pair<std::string, ScanFunction>> versions(const Scanner& s) {
  std::vector<std::pair<std::string, ScanFunction>> all = {
      {std::string(s.name) + " scalar", s.scalar}, {std::string(s.name), s.program}};
  if (s.vector != nullptr) all.emplace_back(std::string(s.name) + " vector", s.vector);
  return all;
}

// The count from p by the definition: bytes before the first stop byte.
std::int64_t reference_count(const Scanner& s, const char* p) {
  std::int64_t i = 0;
  while (!s.stops(static_cast<unsigned char>(p[i])))
    ++i;
  return i;
}

// What a scan's result can depend on, each case of it: the start's place in
// its aligned block (every alignment), the distance to the byte that decides
// (every lane of the first, second and third block), and that byte's value
// (all 256). Before the start, in the start's block, lie stop bytes (NUL and
// the class's other one) that the scan must not see; the bytes up to the
// deciding one are outside the class; after it come stop bytes again, so a
// scan that stops anywhere but at the first shows.
TEST(Scanners, EveryByteAtEveryDistanceFromEveryAlignment) {
  constexpr int max_distance = 47;
  for (const Scanner& s : scanners) {
    const auto all = versions(s);
    for (int align = 0; align < 16; ++align) {
      for (int distance = 0; distance <= max_distance; ++distance) {
        for (int value = 0; value < 256; ++value) {
          alignas(16) char buf[16 + max_distance + 1 + 32];
          for (int i = 0; i < align; ++i)
            buf[i] = i % 2 == 0 ? '\0' : s.stop;
          char* p = buf + align;
          std::memset(p, s.filler, static_cast<std::size_t>(distance));
          p[distance] = static_cast<char>(value);
          for (char* q = p + distance + 1; q < buf + sizeof buf; ++q)
            *q = (q - p) % 2 == 0 ? '\0' : s.stop;
          const std::int64_t expected =
              s.stops(static_cast<unsigned char>(value)) ? distance : distance + 1;
          for (const auto& [name, scan] : all) {
            const std::int64_t got = scan(p);
            if (got != expected) {
              ADD_FAILURE() << name << ": " << got << " instead of " << expected << " for byte "
                            << value << " at " << distance << ", alignment " << align;
              return;
            }
          }
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

// Texts at every alignment, of every length that reaches a third block,
// with the last dot at every position or none. Dots lie before the text in
// its first block (on every other byte, the one just before it not one),
// after its end in its last, and on every byte before the last dot, so a
// scan that looks past either end or that stops at an earlier dot shows.
TEST(LastDot, LastDotAtEveryPositionFromEveryAlignment) {
  constexpr int max_len = 47;
  const auto all = last_dot_versions();
  for (int align = 0; align < 16; ++align) {
    for (int len = 0; len <= max_len; ++len) {
      for (int dot = -1; dot < len; ++dot) {
        alignas(16) char buf[16 + max_len + 16];
        std::memset(buf, '.', sizeof buf);
        char* text = buf + align;
        for (char* before = text - 1; before >= buf; before -= 2)
          *before = 'a';
        std::memset(text + dot + 1, 'a', static_cast<std::size_t>(len - dot - 1));
        for (const auto& [name, last_dot] : all)
          ASSERT_EQ(last_dot(text, len), dot)
              << name << " len " << len << " dot " << dot << " alignment " << align;
      }
    }
  }
}

// Every byte value but the dot and NUL (which the texts do not hold) in
// every lane of the blocks a text covers: none is taken for a dot.
TEST(LastDot, NoOtherByteIsADotInAnyLane) {
  constexpr int max_len = 33;
  const auto all = last_dot_versions();
  for (int value = 1; value < 256; ++value) {
    if (value == '.') continue;
    for (int align = 0; align < 16; ++align) {
      alignas(16) char buf[16 + max_len + 16];
      std::memset(buf, '.', sizeof buf);
      char* text = buf + align;
      std::memset(text, value, max_len);
      for (int len = 0; len <= max_len; ++len) {
        for (const auto& [name, last_dot] : all)
          ASSERT_EQ(last_dot(text, len), -1)
              << name << " byte " << value << " len " << len << " alignment " << align;
      }
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
