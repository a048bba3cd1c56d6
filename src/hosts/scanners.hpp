// The parser's byte scanners. Each takes a pointer to a byte of a
// NUL-terminated buffer and returns the number of bytes from there to the
// first byte of its stop class (0 when the byte at p is of that class). NUL
// is in every stop class, so no scan passes the buffer's final NUL.
//
//   skip_blanks    stops at NUL or a token byte (0x21..0xff)
//   find_blank     stops at NUL or a blank (0x01..0x20)
//   find_line_end  stops at NUL or '\n'
//   find_dot       stops at NUL or '.'
//
// Counts are 64-bit, so lines, tokens and runs of blanks of any length work.
//
// Read bound: the SSE2 versions read whole aligned 16-byte blocks, from the
// block that holds p to the block that holds the stop byte; nothing outside
// those blocks is read (see memory/aligned_read.hpp). Before any block they
// test the byte at p on its own, so a scan that stops at once (a NUL or any
// other stop byte at p) reads that byte only. The *_scalar versions read byte
// by byte and are the portable fallback where SSE2 is absent; both sets are
// built on x86-64 so that tests can check that they agree.
//
// The SSE2 versions are defined inline here: the parser calls them a few
// times per line, mostly on short runs, and the call overhead is a large part
// of a short scan.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>

#include "memory/aligned_read.hpp"
#endif

std::int64_t skip_blanks_scalar(const char* p);
std::int64_t find_blank_scalar(const char* p);
std::int64_t find_line_end_scalar(const char* p);
std::int64_t find_dot_scalar(const char* p);

#if defined(__SSE2__)

// The stop class of a scanner.
enum class ScanClass { token_or_nul, blank_or_nul, newline_or_nul, dot_or_nul };

// Whether byte c is of class C.
template <ScanClass C>
inline bool stops_at(unsigned char c) {
  if constexpr (C == ScanClass::token_or_nul) return c == 0 || c > 0x20;
  if constexpr (C == ScanClass::blank_or_nul) return c <= 0x20;
  if constexpr (C == ScanClass::newline_or_nul) return c == 0 || c == '\n';
  if constexpr (C == ScanClass::dot_or_nul) return c == 0 || c == '.';
}

// One bit per byte of block, set where the byte is of class C.
//   token_or_nul:   y = x + 0xdf (mod 256) is at most 0xdf exactly for NUL
//                   (0xdf) and the token bytes 0x21..0xff (0x00..0xde); the
//                   blanks 0x01..0x20 land on 0xe0..0xff.
//   blank_or_nul:   x is at most 0x20.
//   newline_or_nul, dot_or_nul: x equals 0 or the stop byte.
// SSE2 has no unsigned byte compare, so "a <= b" is min(a, b) == a.
template <ScanClass C>
inline std::uint32_t class_mask(__m128i block) {
  __m128i hits;
  if constexpr (C == ScanClass::token_or_nul) {
    const __m128i bias = _mm_set1_epi8(static_cast<char>(0xdf));
    const __m128i y = _mm_add_epi8(block, bias);
    hits = _mm_cmpeq_epi8(_mm_min_epu8(y, bias), y);
  } else if constexpr (C == ScanClass::blank_or_nul) {
    const __m128i space = _mm_set1_epi8(0x20);
    hits = _mm_cmpeq_epi8(_mm_min_epu8(block, space), block);
  } else {
    const __m128i stop = _mm_set1_epi8(C == ScanClass::newline_or_nul ? 0x0a : 0x2e);
    hits = _mm_or_si128(_mm_cmpeq_epi8(block, _mm_setzero_si128()), _mm_cmpeq_epi8(block, stop));
  }
  return static_cast<std::uint32_t>(_mm_movemask_epi8(hits));
}

// Bytes from p to the first byte of class C. The first step loads the aligned
// block that holds p and drops the mask bits of the bytes before p; every
// further step loads the next aligned block. The scan ends in the block that
// holds the stop byte, and NUL is a stop byte, so every block read holds a
// byte of the caller's string: an aligned 16-byte block lies within one page,
// so these reads cannot fault. The bytes outside the string that they touch
// are never used, but AddressSanitizer would report them, hence the exemption.
template <ScanClass C>
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t scan_sse2(const char* p) {
  if (stops_at<C>(static_cast<unsigned char>(*p))) return 0;
  const char* block = aligned_block_of(p);
  std::uint32_t mask = class_mask<C>(_mm_load_si128(reinterpret_cast<const __m128i*>(block))) >>
                       static_cast<unsigned>(p - block);
  if (mask != 0) return __builtin_ctz(mask);
  for (;;) {
    block += 16;
    mask = class_mask<C>(_mm_load_si128(reinterpret_cast<const __m128i*>(block)));
    if (mask != 0) return (block - p) + __builtin_ctz(mask);
  }
}

HOSTZONES_ALIGNED_OVERREAD inline std::int64_t skip_blanks_sse2(const char* p) {
  return scan_sse2<ScanClass::token_or_nul>(p);
}
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t find_blank_sse2(const char* p) {
  return scan_sse2<ScanClass::blank_or_nul>(p);
}
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t find_line_end_sse2(const char* p) {
  return scan_sse2<ScanClass::newline_or_nul>(p);
}
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t find_dot_sse2(const char* p) {
  return scan_sse2<ScanClass::dot_or_nul>(p);
}

inline std::int64_t skip_blanks(const char* p) {
  return skip_blanks_sse2(p);
}
inline std::int64_t find_blank(const char* p) {
  return find_blank_sse2(p);
}
inline std::int64_t find_line_end(const char* p) {
  return find_line_end_sse2(p);
}
inline std::int64_t find_dot(const char* p) {
  return find_dot_sse2(p);
}
#else
inline std::int64_t skip_blanks(const char* p) {
  return skip_blanks_scalar(p);
}
inline std::int64_t find_blank(const char* p) {
  return find_blank_scalar(p);
}
inline std::int64_t find_line_end(const char* p) {
  return find_line_end_scalar(p);
}
inline std::int64_t find_dot(const char* p) {
  return find_dot_scalar(p);
}
#endif
