// The hash map's building blocks: the slot helpers and the AVL steps from
// which hashmap_get, hashmap_put, hashmap_remove and hashmap_destroy are
// made. For the map's own sources (hashmap.cpp, hashmap_remove.cpp), its
// tests and the fuzz targets; the rest of the program uses hashmap.hpp.
//
// A slot is any place that holds the pointer to the root of a tree or
// subtree: a root slot of the map, an entry's left or right field, or a
// working variable. The steps take a slot's address so that they can put a
// new root into it. Entries are relinked, never copied or moved.
//
// Every search (tree_find, and through it hashmap_get; the lockstep walk of
// hashmap_find_batch) compares with tree_compare and steps with tree_child,
// and insertion and removal order keys by tree_compare too. Each computes the
// searched key's key_prefix once, before its walk.
#pragma once

#include <cstdint>
#include <cstring>

#include "hashmap/hashmap.hpp"

// Address of slot index (1..count) of map: the root slot of bucket index - 1.
inline MapEntry** hashmap_slot(HashMap* map, std::uint64_t index) {
  return reinterpret_cast<MapEntry**>(map) + index;
}
inline MapEntry* const* hashmap_slot(const HashMap* map, std::uint64_t index) {
  return reinterpret_cast<MapEntry* const*>(map) + index;
}

// The first four bytes of key, bytes from its NUL on counted as 0, as one
// big-endian number. Two keys whose prefixes differ order as their prefixes
// do in strcmp order (bytes as unsigned values): up to the first byte that
// differs, both keys hold the same bytes and neither has ended. Two keys with
// equal prefixes are equal when the prefix holds the NUL (its last byte is
// 0), and otherwise order as the rest after their fourth byte does. Reads
// key up to its NUL, at most four bytes.
inline std::uint32_t key_prefix(const char* key) {
  std::uint32_t prefix = 0;
  for (int i = 0; i < 4 && key[i] != '\0'; ++i)
    prefix |= static_cast<std::uint32_t>(static_cast<unsigned char>(key[i])) << (24 - 8 * i);
  return prefix;
}

// Whether comparing a key whose key_prefix is prefix with entry's key reads
// the keys past their prefixes: the prefixes are equal and the NUL lies
// beyond them. Otherwise the prefixes alone decide.
inline bool tree_compare_reads_keys(std::uint32_t prefix, const MapEntry* entry) {
  return prefix == entry->prefix && (prefix & 0xffu) != 0;
}

// The order of key, whose key_prefix is prefix, against entry's key: strcmp's
// order; only the sign of the result counts. The prefixes decide most
// comparisons without a look at entry's key block.
inline int tree_compare(const char* key, std::uint32_t prefix, const MapEntry* entry) {
  if (prefix != entry->prefix) return prefix < entry->prefix ? -1 : 1;
  if (!tree_compare_reads_keys(prefix, entry)) return 0;  // both keys end within the prefix
  return std::strcmp(key + 4, entry->key + 4);
}

// A side of an entry. Its value is the sign that a level more on that side
// gives the entry's balance (height(right) - height(left)), so one body
// with a side serves a rule and its mirror image.
enum class TreeSide : std::int32_t { left = -1, right = 1 };

inline std::int32_t tree_sign(TreeSide side) {
  return static_cast<std::int32_t>(side);
}

inline TreeSide tree_opposite(TreeSide side) {
  return side == TreeSide::left ? TreeSide::right : TreeSide::left;
}

// entry's link on side: its left or right field.
inline MapEntry*& tree_link(MapEntry* entry, TreeSide side) {
  return side == TreeSide::left ? entry->left : entry->right;
}

// Where a search for a key that compared order (not 0) with entry goes on:
// the left subtree for a key that sorts before entry's, else the right.
inline MapEntry* tree_child(const MapEntry* entry, int order) {
  return order < 0 ? entry->left : entry->right;
}

// The entry of the tree at root whose key equals key, or null.
MapEntry* tree_find(const char* key, MapEntry* root);

// Inserts key (len exact, not negative) into the tree held in *slot, or
// replaces the value of a present key, releasing what the old value owned;
// hashmap_put is this on the key's root slot. *out receives the entry, or
// null for want of memory. Returns 1 when the subtree in the slot grew by one
// level, else 0.
std::int32_t tree_insert(const char* key, std::int64_t len, const MapValue* value, MapEntry** slot,
                         MapEntry** out);

// Rotates the subtree in *slot when its root's balance is +2 or -2 and the
// heavier child is present. Returns 1 when the subtree came out one level
// shorter, 0 when its height stayed or nothing was done.
std::int32_t tree_rebalance(MapEntry** slot);

// Post-order release of a whole tree: values, keys, entries. The link that
// pointed at entry is not cleared. Null: no-op.
void tree_destroy(MapEntry* entry);

// Releases what value owns by its kind (see the value kinds in hashmap.hpp). The payload must
// not be used afterwards.
void release_value(MapValue* value);

// Removal steps (hashmap_remove). tree_delete: removes key from the tree in
// *slot; returns 1 when that subtree lost a level, else 0 (also when absent).
// tree_detach_max/min: unlink the largest/smallest entry of the subtree in
// *slot, whose root must have a right/left child; *out holds the parent of the
// root on entry and the detached entry on return. Return 1 when the subtree
// lost a level.
std::int32_t tree_delete(const char* key, MapEntry** slot);
std::int32_t tree_detach_max(MapEntry** slot, MapEntry** out);
std::int32_t tree_detach_min(MapEntry** slot, MapEntry** out);

// Index of the root slot of key's bucket: murmur3_32(key, len) % count + 1
// (len exact, not negative).
inline std::uint64_t hashmap_slot_index(const HashMap* map, const char* key, std::int64_t len) {
  return static_cast<std::uint64_t>(murmur3_32(key, len) % hashmap_count(map)) + 1;
}

// Root slot of key's bucket (len exact, not negative).
inline MapEntry** hashmap_root_slot(HashMap* map, const char* key, std::int64_t len) {
  return hashmap_slot(map, hashmap_slot_index(map, key, len));
}
inline MapEntry* const* hashmap_root_slot(const HashMap* map, const char* key, std::int64_t len) {
  return hashmap_slot(map, hashmap_slot_index(map, key, len));
}
