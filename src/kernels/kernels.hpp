// The 16-byte byte kernels: the scans that find the first byte of a class in
// a NUL-terminated string, and the lower-casing of names. Used by the hash
// map (find_nul, behind string_length), the parser (its four scanners and
// lower_case) and the zone emitter (find_last_dot).
//
// Stop classes. Each scan returns the number of bytes from p to the first
// byte of its class (0 when the byte at p is one); NUL is in every class, so
// no scan passes the string's terminating NUL. Bytes 0x01..0x20 are blanks,
// 0x21..0xff token bytes:
//
//   ScanClass::nul             NUL                      find_nul
//   ScanClass::token_or_nul    NUL or a token byte      skip_blanks
//   ScanClass::blank_or_nul    NUL or a blank           find_blank
//   ScanClass::newline_or_nul  NUL or '\n'              find_line_end
//   ScanClass::dot_or_nul      NUL or '.'               find_dot, find_last_dot
//
// Each class is defined once, by stops_at<C>. Every scan comes in two
// versions built from that definition: scan_scalar<C> tests byte by byte
// with stops_at<C>; scan_vector<C> (SSE2 only) tests 16 bytes per step with
// class_mask<C>, which the tests check against stops_at<C> for every byte
// value. The plain names (skip_blanks, ..., lower_case) pick the vector
// versions where SSE2 exists and the build does not define
// HOSTZONES_SCALAR_KERNELS (CMake option HOSTZONES_SCALAR_KERNELS), the
// scalar ones otherwise; both give the same results on every input.
//
// One scan runs backwards, over a text of known length rather than up to a
// NUL: rscan_scalar<C> and rscan_vector<C> give the position of the last
// byte of class C among text[0..end-1], or -1 (find_last_dot, the zone
// emitter's walk over a name's parent domains, right to left).
//
// Read bound. scan_vector<C> first tests the byte at p alone, so a scan that
// stops at once reads that byte only. Otherwise it reads whole aligned
// 16-byte blocks, from the block that holds p to the block that holds the
// stop byte. rscan_vector<C> reads whole aligned 16-byte blocks, from the
// one that holds text[end-1] back to the one that holds the byte found or
// text[0]; every one of them holds a byte of the text. An aligned 16-byte
// block never crosses a page and each one read holds a byte of the string,
// so the reads cannot fault; the bytes outside the string are never used.
// AddressSanitizer would still report them, so the vector scans are exempt
// from its instrumentation, and tests that place strings against
// inaccessible pages prove the bound instead.
// lower_case reads and writes only the len bytes it is given.
//
// All functions are pure apart from lower_case's writes; thread-safe.
#pragma once

#include <cstdint>

#if defined(__SSE2__) && !defined(HOSTZONES_SCALAR_KERNELS)
#define HOSTZONES_VECTOR_KERNELS 1
#include <emmintrin.h>
#endif

#if defined(__clang__) || defined(__GNUC__)
#define HOSTZONES_ALIGNED_OVERREAD __attribute__((no_sanitize_address))
#else
#define HOSTZONES_ALIGNED_OVERREAD
#endif

enum class ScanClass { nul, token_or_nul, blank_or_nul, newline_or_nul, dot_or_nul };

// Whether byte c is of class C: the one definition of each class.
template <ScanClass C>
constexpr bool stops_at(unsigned char c) {
  if constexpr (C == ScanClass::nul) {
    return c == 0;
  } else if constexpr (C == ScanClass::token_or_nul) {
    return c == 0 || c > 0x20;
  } else if constexpr (C == ScanClass::blank_or_nul) {
    return c <= 0x20;
  } else if constexpr (C == ScanClass::newline_or_nul) {
    return c == 0 || c == '\n';
  } else {
    static_assert(C == ScanClass::dot_or_nul, "every stop class has its test");
    return c == 0 || c == '.';
  }
}

// Bytes from p to the first byte of class C, one byte at a time.
template <ScanClass C>
inline std::int64_t scan_scalar(const char* p) {
  std::int64_t i = 0;
  while (!stops_at<C>(static_cast<unsigned char>(p[i])))
    ++i;
  return i;
}

// Position of the last byte of class C among text[0..end-1], or -1; one byte
// at a time.
template <ScanClass C>
inline std::int64_t rscan_scalar(const char* text, std::int64_t end) {
  std::int64_t i = end - 1;
  while (i >= 0 && !stops_at<C>(static_cast<unsigned char>(text[i])))
    --i;
  return i < 0 ? -1 : i;
}

// Whether byte c is an upper-case ASCII letter, the only bytes lower_case
// changes.
constexpr bool is_upper_ascii(unsigned char c) {
  return static_cast<unsigned char>(c - 'A') < 26;
}

// Sets bit 0x20 of every byte 'A'..'Z' among the len bytes at text; every
// other byte stays as it is.
inline void lower_case_scalar(char* text, std::int64_t len) {
  for (std::int64_t i = 0; i < len; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (is_upper_ascii(c)) text[i] = static_cast<char>(c | 0x20);
  }
}

#if defined(HOSTZONES_VECTOR_KERNELS)

// Start of the aligned 16-byte block that holds p. Rounded in the integer
// domain, so no pointer leaves its object on the way.
inline const char* aligned_block_of(const char* p) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  return reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(p) &
                                       ~static_cast<std::uintptr_t>(15));
}

// One bit per byte of block, set where the byte is of class C:
//   nul:            x equals 0.
//   token_or_nul:   y = x + 0xdf (mod 256) is at most 0xdf exactly for NUL
//                   (0xdf) and the token bytes 0x21..0xff (0x00..0xde); the
//                   blanks 0x01..0x20 land on 0xe0..0xff.
//   blank_or_nul:   x is at most 0x20.
//   newline_or_nul, dot_or_nul: x equals 0 or the stop byte.
// SSE2 has no unsigned byte compare, so "a <= b" is min(a, b) == a.
template <ScanClass C>
inline std::uint32_t class_mask(__m128i block) {
  __m128i hits;
  if constexpr (C == ScanClass::nul) {
    hits = _mm_cmpeq_epi8(block, _mm_setzero_si128());
  } else if constexpr (C == ScanClass::token_or_nul) {
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

// Bytes from p to the first byte of class C, 16 bytes per step. The first
// step loads the aligned block that holds p and drops the mask bits of the
// bytes before p; every further step loads the next aligned block.
template <ScanClass C>
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t scan_vector(const char* p) {
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

// rscan_scalar, 16 bytes per step. The first step loads the aligned block
// that holds text[end-1] and drops the mask bits of the bytes after it; the
// step that reaches the block holding text[0] drops those of the bytes
// before it. Addresses are stepped as integers, so no pointer leaves the
// text.
template <ScanClass C>
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t rscan_vector(const char* text, std::int64_t end) {
  if (end <= 0) return -1;
  const auto first = reinterpret_cast<std::uintptr_t>(text);
  const std::uintptr_t last = first + static_cast<std::uintptr_t>(end - 1);
  std::uintptr_t block = last & ~static_cast<std::uintptr_t>(15);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): an aligned block of the text
  std::uint32_t mask = class_mask<C>(_mm_load_si128(reinterpret_cast<const __m128i*>(block))) &
                       (0xffffu >> (15 - (last - block)));
  for (;;) {
    if (block <= first) {
      mask &= 0xffffu << (first - block);
      if (mask == 0) return -1;
      break;
    }
    if (mask != 0) break;
    block -= 16;
    // NOLINTNEXTLINE(performance-no-int-to-ptr): an aligned block of the text
    mask = class_mask<C>(_mm_load_si128(reinterpret_cast<const __m128i*>(block)));
  }
  return static_cast<std::int64_t>(block - first) + (31 - __builtin_clz(mask));
}

// Upper-case letters of x lowered: x + 0x3f maps 'A'..'Z' onto 0x80..0x99,
// the signed bytes below -102, and nothing else there. The same bytes as
// is_upper_ascii.
inline __m128i lowered(__m128i x) {
  const __m128i shifted = _mm_add_epi8(x, _mm_set1_epi8(0x80 - 'A'));
  const __m128i upper = _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(0x80 + 26)));
  return _mm_or_si128(x, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
}

// lower_case_scalar, 16 or 8 bytes per step. Lowering is idempotent, so the
// last step may overlap bytes already done; every load and store stays
// within the len bytes.
inline void lower_case_vector(char* text, std::int64_t len) {
  if (len >= 16) {
    std::int64_t i = 0;
    for (; i + 16 <= len; i += 16) {
      auto* at = reinterpret_cast<__m128i*>(text + i);
      _mm_storeu_si128(at, lowered(_mm_loadu_si128(at)));
    }
    if (i < len) {
      auto* at = reinterpret_cast<__m128i*>(text + len - 16);
      _mm_storeu_si128(at, lowered(_mm_loadu_si128(at)));
    }
  } else if (len >= 8) {
    auto* head = reinterpret_cast<__m128i*>(text);
    auto* tail = reinterpret_cast<__m128i*>(text + len - 8);
    _mm_storel_epi64(head, lowered(_mm_loadl_epi64(head)));
    _mm_storel_epi64(tail, lowered(_mm_loadl_epi64(tail)));
  } else {
    lower_case_scalar(text, len);
  }
}

template <ScanClass C>
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t scan(const char* p) {
  return scan_vector<C>(p);
}
template <ScanClass C>
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t rscan(const char* text, std::int64_t end) {
  return rscan_vector<C>(text, end);
}
inline void lower_case(char* text, std::int64_t len) {
  lower_case_vector(text, len);
}

#else

template <ScanClass C>
inline std::int64_t scan(const char* p) {
  return scan_scalar<C>(p);
}
template <ScanClass C>
inline std::int64_t rscan(const char* text, std::int64_t end) {
  return rscan_scalar<C>(text, end);
}
inline void lower_case(char* text, std::int64_t len) {
  lower_case_scalar(text, len);
}

#endif

// The parser's scanners and the length of a string, by their stop classes.
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t skip_blanks(const char* p) {
  return scan<ScanClass::token_or_nul>(p);
}
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t find_blank(const char* p) {
  return scan<ScanClass::blank_or_nul>(p);
}
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t find_line_end(const char* p) {
  return scan<ScanClass::newline_or_nul>(p);
}
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t find_dot(const char* p) {
  return scan<ScanClass::dot_or_nul>(p);
}
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t find_nul(const char* p) {
  return scan<ScanClass::nul>(p);
}

// Position of the last dot among the end bytes at text, which hold no NUL,
// or -1.
HOSTZONES_ALIGNED_OVERREAD inline std::int64_t find_last_dot(const char* text, std::int64_t end) {
  return rscan<ScanClass::dot_or_nul>(text, end);
}
