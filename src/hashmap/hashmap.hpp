// The name table: a string-keyed hash map with a fixed number of buckets and
// an AVL tree in every bucket, ordered by strcmp (bytes as unsigned values).
//
// Layout. A HashMap is one zero-filled guarded block of count + 1
// pointer-sized slots, handled as a pointer to its first slot: slot 0 holds
// the bucket count in its low 32 bits, slots 1..count hold the roots of the
// bucket trees (null while a bucket is empty). A key's bucket is
// murmur3_32(key, len) % count, and its root slot is bucket + 1. The map never
// grows or rehashes and keeps no count of its entries.
//
// Invariants, between any two operations:
//  - in every bucket tree keys increase from left to right in strcmp order,
//    each key occurs once in the map, and every entry lies in its key's bucket;
//  - every entry's balance is exactly height(right) - height(left), in -1..+1;
//  - an entry never changes its key or moves: insertion, rotation and removal
//    relink entries, so a MapEntry pointer from hashmap_get or hashmap_put
//    stays valid until that entry is removed or the map destroyed.
//
// Ownership. The map owns its slot array, every entry and every key copy
// (each a guarded block), and through the entries what their values own by
// kind. hashmap_put copies the caller's key; an owning value's payload passes
// to the map when hashmap_put returns an entry and stays the caller's when it
// returns null.
//
// Limits callers respect: a key is shorter than 2^31 bytes, and a length is
// either negative (measure the key up to its NUL) or exactly the number of
// bytes before the key's first NUL.
//
// Output order. The zone emitter writes bucket by bucket and, within a
// bucket, in post-order, so the hash, its seed, the bucket numbering and the
// rotation rules below are all part of the program's observable behaviour.
//
// General operations. The converter stores plain values with
// hashmap_find_batch and hashmap_add_looked_up, looks names up, and
// releases the whole table with hashmap_destroy. The rest is the table's
// interface all the same, kept and tested for callers that need more:
// hashmap_put (and beneath it tree_insert, hashmap_tree.hpp) replaces the
// value of a present key, hashmap_remove removes one key, and the owning
// value kinds hand their payload to the map.
//
// Thread safety: none; a map is used by one thread at a time.
#pragma once

#include <cstdint>

struct MapEntry;

// Value kinds. The kinds from VALUE_OWNED_BLOCK_LOWEST to
// VALUE_OWNED_BLOCK_HIGHEST (-3, -2 and -1) own a guarded block in
// payload.pointer, or null; the map treats the three alike, and what tells
// them apart is left to the caller. VALUE_NESTED_MAP (-5) owns a nested
// HashMap, or null. Every other kind (the converter stores kind 1) is plain
// data in the 8 payload bytes and owns nothing.
constexpr std::int64_t VALUE_OWNED_BLOCK_LOWEST = -3;
constexpr std::int64_t VALUE_OWNED_BLOCK_HIGHEST = -1;
constexpr std::int64_t VALUE_NESTED_MAP = -5;

// Whether a value of kind owns a guarded block.
constexpr bool value_owns_block(std::int64_t kind) {
  return kind >= VALUE_OWNED_BLOCK_LOWEST && kind <= VALUE_OWNED_BLOCK_HIGHEST;
}

// word comes first: an empty initializer ({}, as in MapValue{}) zeroes the
// first member alone, and only word covers all 8 bytes (a pointer has 4 on
// 32-bit targets, which would leave the zero value's upper half undefined).
union MapPayload {
  std::uint64_t word;
  void* pointer;
  unsigned char bytes[8];
};

// A 16-byte tagged value; the zero value is kind 0, payload 0.
struct MapValue {
  std::int64_t kind;
  MapPayload payload;
};

// One AVL node. key is a guarded block of key_len + 1 bytes with its NUL at
// key_len.
//
// prefix is a copy of the key's first four bytes (see key_prefix in
// hashmap_tree.hpp), set with the key and never changed. A walk decides most
// of its comparisons on it alone, from the entry's own cache line, without
// fetching the key block. It sits where balance would otherwise be followed
// by padding, so an entry is as large as without it.
struct MapEntry {
  char* key;
  std::int64_t key_len;
  MapValue value;
  std::int32_t balance;  // height(right) - height(left)
  std::uint32_t prefix;  // key_prefix(key)
  MapEntry* left;        // keys that sort before key
  MapEntry* right;       // keys that sort after key
};

// Slot 0 of a map; the root slots follow it (see hashmap_root). It is exactly
// as wide as a root slot, so that slot 1 follows it on every platform: where
// pointers have 64 bits the count fills the low 32 bits and the rest stays
// zero, where they have 32 bits the count fills the slot.
struct HashMap {
  std::uintptr_t count_word;  // bucket count in the low 32 bits, the rest zero
};

// NOLINTNEXTLINE(bugprone-sizeof-expression): a slot holds a root pointer
static_assert(sizeof(HashMap) == sizeof(MapEntry*), "every slot is pointer-sized");
static_assert(sizeof(std::uintptr_t) >= sizeof(std::uint32_t), "slot 0 holds a 32-bit count");
static_assert(sizeof(MapValue) == 16, "a MapValue is 16 bytes");
// Where 64-bit fields are 8-byte aligned, the 40 bytes up to left are what
// the fields before prefix take with their padding.
// NOLINTNEXTLINE(bugprone-sizeof-expression): left and right are pointers
static_assert(alignof(std::int64_t) < 8 || sizeof(MapEntry) == 40 + 2 * sizeof(MapEntry*),
              "prefix takes the place of padding");

// Bucket count of map.
inline std::uint32_t hashmap_count(const HashMap* map) {
  return static_cast<std::uint32_t>(map->count_word);
}

// The root of the tree in slot index (1..count) of map, the tree of bucket
// index - 1; null while that bucket is empty. For walks over the whole map:
// the entries may be read, not relinked.
inline const MapEntry* hashmap_root(const HashMap* map, std::uint64_t index) {
  return reinterpret_cast<MapEntry* const*>(map)[index];
}

// MurmurHash3_x86_32 of the first len bytes of key, with len (as an unsigned
// 32-bit number) as the seed. Blocks read little-endian, tail bytes unsigned.
std::uint32_t murmur3_32(const void* key, std::int64_t len);

// Number of bytes before the first NUL of s (s shorter than 2^31 bytes).
// Reads as the byte kernels do (kernels/kernels.hpp): never past the aligned
// 16-byte block that holds the NUL.
std::int32_t string_length(const char* s);

// A new empty map of count buckets, or null when count is 0 or 2^32 - 1 or
// its block cannot be obtained.
HashMap* hashmap_create(std::uint32_t count);

// Releases every entry, key and owned value, then the slot array. Null: no-op.
// The caller's pointer is left as it was and must not be used again.
void hashmap_destroy(HashMap* map);

// The entry whose key equals key byte for byte, or null. Null or empty key:
// null, whatever len says. Changes nothing.
MapEntry* hashmap_get(const HashMap* map, const char* key, std::int64_t len);

// One lookup of a batch (hashmap_find_batch). The caller sets key and len;
// the batch sets the rest. slot and prefix are what the batch learnt of the
// key for hashmap_add_looked_up, which the caller only passes on.
struct MapLookup {
  const char* key;       // NUL-terminated, or null
  std::int64_t len;      // exact, or negative: measured, and the measure put here
  std::uint64_t slot;    // set: index of the key's root slot; 0 for a null or empty key
  MapEntry* entry;       // set: the entry whose key equals key, or null
  std::uint32_t prefix;  // set: the key's first four bytes, as an entry's prefix; 0 for no key
};

// Most lookups hashmap_find_batch walks in lockstep; a longer batch is taken
// in groups of this many.
constexpr int HASHMAP_LOOKUP_GROUP = 64;

// Answers the n lookups (n <= 0: none) as n calls of hashmap_get would, but
// walks the keys of a group down their bucket trees together, one level per
// round: the round's entries are requested, then compared and every walk
// steps. The independent cache misses of a round are thus in flight
// together, instead of one after the other. Most comparisons are decided by
// the entries' prefixes; a walk whose prefixes tie requests the entry's key
// and compares it in the next round. Each key is hashed once, and its root
// slot and prefix kept for hashmap_add_looked_up. Reads the map, changes
// nothing in it.
void hashmap_find_batch(const HashMap* map, MapLookup* lookups, int n);

// What hashmap_add_looked_up did.
enum class MapAdd {
  added,       // a new entry holds the key and the value
  present,     // the map held the key already; nothing changed
  not_stored,  // a null or empty key, or want of memory; nothing changed
};

// Stores lookup's key with a copy of *value (null: the zero value) unless
// the map holds the key already, walking from the root slot that
// hashmap_find_batch found for it in this map (the key is not hashed or
// measured again). The map may have changed since the lookup: a key stored
// in between is found present. For want of memory the map and the byte
// total are as they were.
MapAdd hashmap_add_looked_up(HashMap* map, const MapLookup* lookup, const MapValue* value);

// Root slots one hashmap_warm_trees call covers, and the most entries it
// requests.
constexpr std::uint64_t HASHMAP_WARM_GROUP = 16;
constexpr int HASHMAP_WARM_ENTRIES = 2048;

// Cache warmer for a walk over the bucket trees of the root slots from index
// first (1..count of the map) on that is about to follow: covers
// HASHMAP_WARM_GROUP slots, or the rest of the map when fewer are left, and
// returns the index just past the last one covered, where the next group
// begins. Requests the entries and keys of their trees breadth first, all
// trees of the group one level after the other, so that the misses of a
// level are in flight together; at most HASHMAP_WARM_ENTRIES entries. Reads
// only.
std::uint64_t hashmap_warm_trees(const HashMap* map, std::uint64_t first);

// Stores key (copied) with a copy of *value (null: the zero value). A present
// key keeps its entry; its old value is released and replaced. Result: the
// entry now holding the key, or null for a null or empty key or for want of
// memory, in which case the map and the byte total are as they were.
MapEntry* hashmap_put(HashMap* map, const char* key, std::int64_t len, const MapValue* value);

// Removes key's entry, if any, releasing its value, key and block. Null or
// empty key, or an absent key: nothing happens. Allocates nothing.
void hashmap_remove(HashMap* map, const char* key, std::int64_t len);
