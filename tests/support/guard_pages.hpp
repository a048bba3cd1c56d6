// Test support: one accessible page between two inaccessible ones, for
// proving that a scanner never reads outside the bytes it may touch.
// Header-only and used by tests alone; the program never includes it.
//
// Layout of the mapping: [PROT_NONE page][read-write page][PROT_NONE page].
// A buffer placed with guard_pages_end_at_boundary ends exactly where the
// trailing inaccessible page begins; one placed with
// guard_pages_start_at_boundary begins exactly where the leading inaccessible
// page ends. Any read past either edge faults (SIGSEGV), so a test that
// survives has shown the bound.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

struct GuardPages {
  char* mapping;     // start of the whole mapping, null when it failed
  std::size_t page;  // page size in bytes
};

// Maps the three pages and makes the outer two inaccessible. On failure the
// result's mapping is null.
inline GuardPages guard_pages_open() {
  GuardPages pages{nullptr, static_cast<std::size_t>(sysconf(_SC_PAGESIZE))};
  void* m =
      mmap(nullptr, 3 * pages.page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return pages;
  char* base = static_cast<char*>(m);
  if (mprotect(base, pages.page, PROT_NONE) != 0 ||
      mprotect(base + 2 * pages.page, pages.page, PROT_NONE) != 0) {
    munmap(base, 3 * pages.page);
    return pages;
  }
  pages.mapping = base;
  return pages;
}

inline void guard_pages_close(GuardPages* pages) {
  if (pages->mapping != nullptr) munmap(pages->mapping, 3 * pages->page);
  pages->mapping = nullptr;
}

// First byte of the accessible page.
inline char* guard_pages_begin(const GuardPages& pages) {
  return pages.mapping + pages.page;
}

// One past the last byte of the accessible page: the first inaccessible byte.
inline char* guard_pages_end(const GuardPages& pages) {
  return pages.mapping + 2 * pages.page;
}

// Fills the whole accessible page with byte.
inline void guard_pages_fill(const GuardPages& pages, unsigned char byte) {
  std::memset(guard_pages_begin(pages), byte, pages.page);
}

// Start of an n-byte buffer (n at most one page) whose last byte is the last
// accessible byte.
inline char* guard_pages_end_at_boundary(const GuardPages& pages, std::size_t n) {
  return guard_pages_end(pages) - n;
}

// Start of a buffer that begins offset bytes after the first accessible byte
// (offset 0: right at the boundary).
inline char* guard_pages_start_at_boundary(const GuardPages& pages, std::size_t offset = 0) {
  return guard_pages_begin(pages) + offset;
}
