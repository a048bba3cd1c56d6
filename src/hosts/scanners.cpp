// The portable byte-by-byte scanners. The 16-byte versions are inline in
// scanners.hpp. Contracts there.
#include "hosts/scanners.hpp"

std::int64_t skip_blanks_scalar(const char* p) {
  std::int64_t i = 0;
  while (p[i] != '\0' && static_cast<unsigned char>(p[i]) <= 0x20)
    ++i;
  return i;
}

std::int64_t find_blank_scalar(const char* p) {
  std::int64_t i = 0;
  while (static_cast<unsigned char>(p[i]) > 0x20)
    ++i;
  return i;
}

std::int64_t find_line_end_scalar(const char* p) {
  std::int64_t i = 0;
  while (p[i] != '\0' && p[i] != '\n')
    ++i;
  return i;
}

std::int64_t find_dot_scalar(const char* p) {
  std::int64_t i = 0;
  while (p[i] != '\0' && p[i] != '.')
    ++i;
  return i;
}
