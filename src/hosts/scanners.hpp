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
// those blocks is read (see memory/aligned_read.hpp). The *_scalar versions
// read byte by byte and are the portable fallback where SSE2 is absent; both
// sets are built on x86-64 so that tests can check that they agree.
#pragma once

#include <cstdint>

std::int64_t skip_blanks_scalar(const char* p);
std::int64_t find_blank_scalar(const char* p);
std::int64_t find_line_end_scalar(const char* p);
std::int64_t find_dot_scalar(const char* p);

#if defined(__SSE2__)
std::int64_t skip_blanks_sse2(const char* p);
std::int64_t find_blank_sse2(const char* p);
std::int64_t find_line_end_sse2(const char* p);
std::int64_t find_dot_sse2(const char* p);

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
