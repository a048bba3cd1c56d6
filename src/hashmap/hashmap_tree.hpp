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
// and insertion and removal order keys by tree_compare too.
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

// The order of key against entry's key: strcmp's, bytes as unsigned values;
// only the sign of the result counts. Most keys met on a walk differ from
// the searched one in the first byte, which is compared here before strcmp
// is called for the rest.
inline int tree_compare(const char* key, const MapEntry* entry) {
  const auto a = static_cast<unsigned char>(key[0]);
  const auto b = static_cast<unsigned char>(entry->key[0]);
  if (a != b) return a < b ? -1 : 1;
  return std::strcmp(key, entry->key);
}

// Where a search for a key that compared order (not 0) with entry goes on:
// the left subtree for a key that sorts before entry's, else the right.
inline MapEntry* tree_child(const MapEntry* entry, int order) {
  return order < 0 ? entry->left : entry->right;
}

// The entry of the tree at root whose key equals key, or null.
MapEntry* tree_find(const char* key, MapEntry* root);

// Inserts key into the tree held in *slot, or replaces the value of a present
// key. *out receives the entry, or null for want of memory. Returns 1 when the
// subtree in the slot grew by one level, else 0.
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
