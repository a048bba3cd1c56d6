// The prepared heap (see prepared_heap.hpp): glibc's heap with its pages
// made resident in bulk, and large blocks in mappings of their own.
//
// A large table is a few hundred megabytes of small blocks, and taking them
// page by page costs one page fault per 4 KiB on first touch, tens of
// thousands of them. Instead:
//  - before the first block, glibc's top pad is raised, so that its heap
//    grows in steps of HEAP_TOP_PAD;
//  - every time the heap has grown, the new part is advised as a whole:
//    MADV_POPULATE_WRITE maps all its pages in one system call. The advice
//    is a hint: a kernel without it leaves the pages to be faulted in one
//    by one, on first touch.
//  - blocks of MAPPED_BLOCK_BYTES or more (input buffers, the bucket array,
//    the output buffer) get a mapping of their own, advised as well. glibc
//    would otherwise carve them from its now large top, and releasing one
//    of them after the table's release would make it sweep up every small
//    block freed so far, a million of them, before going on.
// Why populated small pages and not transparent huge pages: a huge page
// needs 2 MiB of free physical memory in one piece, and on a virtual
// machine that hands free memory back to its host, such pieces are just
// the ones handed back, which the host must fault in again when they are
// touched: on the benchmark VM a run after a few idle seconds paid
// 0.25-0.3 s of system time for that on 1M names, against 0.04 s back to
// back. Small pages come from the guest's own free lists, about 0.08 s
// either way (see bench/README.md). Nothing is read from the environment.
#include "memory/prepared_heap.hpp"

#if defined(HOSTZONES_HAS_PREPARED_HEAP)

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uintptr_t SMALL_PAGE_BYTES = 4096;

#if defined(MADV_POPULATE_WRITE)
// Every page of a step becomes resident: steps small enough that a short
// run does not pay for many pages it never uses.
constexpr int HEAP_ADVICE = MADV_POPULATE_WRITE;
constexpr int HEAP_TOP_PAD = 4 << 20;
#else
constexpr int HEAP_ADVICE = MADV_NORMAL;
constexpr int HEAP_TOP_PAD = 4 << 20;
#endif

// Blocks this large get a mapping of their own (glibc's own default
// threshold for that); at most MAPPED_BLOCK_SLOTS of them at a time, the
// program holding three or four. Beyond that, blocks come from malloc.
constexpr std::size_t MAPPED_BLOCK_BYTES = std::size_t{128} << 10;
constexpr int MAPPED_BLOCK_SLOTS = 16;

struct MappedBlock {
  void* start;  // null: the slot is free
  std::size_t length;
};

MappedBlock mapped_blocks[MAPPED_BLOCK_SLOTS];
bool heap_prepared = false;
std::uintptr_t heap_advised_end = 0;  // glibc's heap below this is advised

// Gives [begin, end), widened to whole small pages, the heap's advice.
void advise_pages(std::uintptr_t begin, std::uintptr_t end) {
  begin &= ~(SMALL_PAGE_BYTES - 1);
  end = (end + SMALL_PAGE_BYTES - 1) & ~(SMALL_PAGE_BYTES - 1);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): an address range, not an object
  if (begin < end) (void)madvise(reinterpret_cast<void*>(begin), end - begin, HEAP_ADVICE);
}

// Once, before the first request: the top pad. A fixed top pad also keeps
// glibc from moving its own mmap threshold.
void prepare_heap() {
  heap_prepared = true;
  (void)mallopt(M_TOP_PAD, HEAP_TOP_PAD);
  heap_advised_end = reinterpret_cast<std::uintptr_t>(sbrk(0));
}

// After malloc, calloc or realloc handed out block (bytes long, or null):
// advises what glibc's heap grew by. glibc grows its heap only for a
// request its top cannot hold, and the block it then hands out reaches past
// the old end; a block that ends within the advised part therefore means no
// growth, and only other results are checked against sbrk(0), which reads
// glibc's record of the heap's end (no system call).
void advise_heap_growth(const void* block, std::size_t bytes) {
  if (block != nullptr && reinterpret_cast<std::uintptr_t>(block) + bytes <= heap_advised_end)
    return;
  const auto end = reinterpret_cast<std::uintptr_t>(sbrk(0));
  if (end <= heap_advised_end) return;
  // Adjacent ranges with the same advice merge into one mapping, so the
  // heap stays one region.
  advise_pages(heap_advised_end, end);
  heap_advised_end = end;
}

// The slot holding start (null: a free slot), or null when there is none.
MappedBlock* mapped_slot(const void* start) {
  for (MappedBlock& slot : mapped_blocks) {
    if (slot.start == start) return &slot;
  }
  return nullptr;
}

// The slot of the mapped block at block, or null when block is not one.
// glibc hands out no page-aligned block (its chunk header lies in front),
// so only page-aligned ones are looked up.
MappedBlock* mapped_block_at(const void* block) {
  const auto address = reinterpret_cast<std::uintptr_t>(block);
  if (block == nullptr || (address & (SMALL_PAGE_BYTES - 1)) != 0) return nullptr;
  return mapped_slot(block);
}

// A new zero-filled mapping of at least bytes bytes, or null when no slot
// is free or the system has no memory for it.
void* map_block(std::size_t bytes) {
  MappedBlock* slot = mapped_slot(nullptr);
  if (slot == nullptr) return nullptr;
  const std::size_t length = (bytes + SMALL_PAGE_BYTES - 1) & ~(SMALL_PAGE_BYTES - 1);
  void* start = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (start == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<std::uintptr_t>(start);
  advise_pages(begin, begin + length);
  *slot = MappedBlock{start, length};
  return start;
}

// A block of bytes bytes: mapped when large (fresh mappings read zero), else
// from malloc or calloc.
void* obtain_block(std::size_t bytes, bool zero_fill) {
  if (!heap_prepared) prepare_heap();
  if (bytes >= MAPPED_BLOCK_BYTES) {
    void* block = map_block(bytes);
    if (block != nullptr) return block;
  }
  void* block = zero_fill ? std::calloc(1, bytes) : std::malloc(bytes);
  advise_heap_growth(block, bytes);
  return block;
}

}  // namespace

void* prepared_malloc(std::size_t bytes) {
  return obtain_block(bytes, false);
}

void* prepared_calloc(std::size_t bytes) {
  return obtain_block(bytes, true);
}

void* prepared_realloc(void* block, std::size_t bytes) {
  MappedBlock* mapped = mapped_block_at(block);
  if (mapped == nullptr) {
    if (!heap_prepared) prepare_heap();
    void* resized = std::realloc(block, bytes);
    advise_heap_growth(resized, bytes);
    return resized;
  }
  // A mapped block moves to a new block; on failure it stays as it was.
  void* resized = obtain_block(bytes, false);
  if (resized == nullptr) return nullptr;
  std::memcpy(resized, block, bytes < mapped->length ? bytes : mapped->length);
  (void)munmap(mapped->start, mapped->length);
  *mapped = MappedBlock{};
  return resized;
}

void prepared_free(void* block) {
  MappedBlock* mapped = mapped_block_at(block);
  if (mapped == nullptr) {
    std::free(block);
    return;
  }
  (void)munmap(mapped->start, mapped->length);
  *mapped = MappedBlock{};
}

#endif
