// Support for the 16-byte scanners (string_length, the parser's scanners).
//
// Those scanners read whole aligned 16-byte blocks: the block that holds the
// first byte of the scan, then the following aligned blocks, up to the one
// that holds the stop byte. An aligned 16-byte block never crosses a page, so
// such a read cannot fault as long as one byte of the block belongs to the
// string; the bytes outside the string are discarded from the mask. The
// hardware is happy with that, but AddressSanitizer reports the bytes beyond
// the allocation, so the scanners are exempt from its instrumentation; tests
// that place strings against inaccessible pages prove their bounds instead.
#pragma once

#include <cstdint>

#if defined(__clang__) || defined(__GNUC__)
#define HOSTZONES_ALIGNED_OVERREAD __attribute__((no_sanitize_address))
#else
#define HOSTZONES_ALIGNED_OVERREAD
#endif

// Start of the aligned 16-byte block that holds p.
// Rounded in the integer domain, so no pointer leaves its object on the way.
inline const char* aligned_block_of(const char* p) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  return reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(p) &
                                       ~static_cast<std::uintptr_t>(15));
}
