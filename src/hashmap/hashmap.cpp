// Hash map with AVL bucket trees: hashing, lookup, insertion, rotation and
// release. Removal is in hashmap_remove.cpp. Contracts in hashmap.hpp.
#include "hashmap/hashmap.hpp"

#include <cstring>

#include "hashmap/hashmap_tree.hpp"
#include "kernels/kernels.hpp"
#include "memory/memory.hpp"

namespace {

inline std::uint32_t rotate_left(std::uint32_t x, int r) {
  return (x << r) | (x >> (32 - r));
}

inline std::uint32_t load_le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint32_t mix_block(std::uint32_t k) {
  k *= 0xcc9e2d51u;
  k = rotate_left(k, 15);
  return k * 0x1b873593u;
}

// Where an entry's key block usually starts, counted from the entry: the
// key block is requested from the heap right after its entry (new_entry),
// and where the heap usually puts such a block is the platform's guess
// (next_block_distance). Only requests are made at this guess, so a wrong
// one costs a wasted request and never a wrong result.
constexpr auto KEY_FOLLOWS_ENTRY =
    static_cast<std::uintptr_t>(next_block_distance(sizeof(MapEntry)));

// Requests what a search step reads of entry: prefix and both links, which
// lie within 24 bytes, so in one cache line or two.
inline void warm_links(const MapEntry* entry) {
  warm_cache_line(&entry->prefix);
  warm_cache_line(&entry->right);
}

// Requests the rest a comparison may read: the entry's key pointer and the
// place its key usually follows it at.
inline void warm_key(const MapEntry* entry) {
  warm_cache_line(entry);
  const std::uintptr_t key = reinterpret_cast<std::uintptr_t>(entry) + KEY_FOLLOWS_ENTRY;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): a request, never a load
  warm_cache_line(reinterpret_cast<const void*>(key));
}

// Requests all of entry and where its key usually is.
inline void warm_entry(const MapEntry* entry) {
  warm_links(entry);
  warm_key(entry);
}

// A walk of find_group under way: the entry it has reached (requested in the
// round before), the lookup it answers, and whether the entry's key has been
// requested for a comparison past the prefixes.
struct GroupWalk {
  const MapEntry* at;
  int index;
  bool key_requested;
};

// Answers up to HASHMAP_LOOKUP_GROUP lookups in lockstep (see
// hashmap_find_batch). In each round every walk still under way compares
// its key with the entry it has reached. Most comparisons are decided by the
// prefixes, from the line requested in the round before; the walk then
// steps to a child and requests its links. When the prefixes are equal and
// the rest must be compared, the entry's key is requested and the
// comparison waits for the next round, so that those misses overlap too.
void find_group(const HashMap* map, MapLookup* lookups, int n) {
  GroupWalk walks[HASHMAP_LOOKUP_GROUP];
  for (int i = 0; i < n; ++i) {
    MapLookup& lookup = lookups[i];
    lookup.entry = nullptr;
    lookup.slot = 0;
    lookup.prefix = 0;
    if (lookup.key == nullptr || lookup.key[0] == '\0') continue;
    if (lookup.len < 0) lookup.len = string_length(lookup.key);
    lookup.slot = hashmap_slot_index(map, lookup.key, lookup.len);
    lookup.prefix = key_prefix(lookup.key);
    warm_cache_line(hashmap_slot(map, lookup.slot));
  }
  int live = 0;
  for (int i = 0; i < n; ++i) {
    if (lookups[i].slot == 0) continue;
    const MapEntry* root = *hashmap_slot(map, lookups[i].slot);
    if (root == nullptr) continue;
    warm_links(root);
    walks[live++] = GroupWalk{root, i, false};
  }
  while (live > 0) {
    int next = 0;
    for (int k = 0; k < live; ++k) {
      GroupWalk walk = walks[k];
      MapLookup& lookup = lookups[walk.index];
      if (!walk.key_requested && tree_compare_reads_keys(lookup.prefix, walk.at)) {
        warm_key(walk.at);
        walk.key_requested = true;
        walks[next++] = walk;
        continue;
      }
      const int order = tree_compare(lookup.key, lookup.prefix, walk.at);
      if (order == 0) {
        lookup.entry = const_cast<MapEntry*>(walk.at);
        continue;
      }
      const MapEntry* child = tree_child(walk.at, order);
      if (child == nullptr) continue;
      warm_links(child);
      walks[next++] = GroupWalk{child, walk.index, false};
    }
    live = next;
  }
}

// The slots from first on that one warm-up covers: HASHMAP_WARM_GROUP of
// them, or fewer at the end of the map. The one place a walk over the root
// slots is cut into groups.
std::uint64_t warm_group_end(const HashMap* map, std::uint64_t first) {
  const std::uint64_t last = hashmap_count(map);
  return last - first + 1 < HASHMAP_WARM_GROUP ? last + 1 : first + HASHMAP_WARM_GROUP;
}

// The breadth-first warm-up of the trees of slots first..end-1. With
// for_release, for a release that follows, it also requests what releasing
// each entry block and key block reads beyond the entry and the key
// (warm_block_release).
void warm_trees(const HashMap* map, std::uint64_t first, std::uint64_t end, bool for_release) {
  // A queue in breadth-first order: when entry i is reached, the entries
  // before it have had the time to arrive, and its own was requested with
  // its level.
  const MapEntry* queue[HASHMAP_WARM_ENTRIES];
  int queued = 0;
  for (std::uint64_t i = first; i < end && queued < HASHMAP_WARM_ENTRIES; ++i) {
    const MapEntry* root = *hashmap_slot(map, i);
    if (root == nullptr) continue;
    warm_entry(root);
    queue[queued++] = root;
  }
  for (int i = 0; i < queued; ++i) {
    const MapEntry* entry = queue[i];
    warm_cache_line(entry->key);
    warm_cache_line(entry->key + entry->key_len);
    if (for_release) {
      warm_block_release(entry, sizeof(MapEntry));
      warm_block_release(entry->key, entry->key_len + 1);
    }
    for (const MapEntry* child : {entry->left, entry->right}) {
      if (child == nullptr || queued == HASHMAP_WARM_ENTRIES) continue;
      warm_entry(child);
      queue[queued++] = child;
    }
  }
}

// A new entry holding a copy of key, its prefix and *value, or null (nothing
// left allocated) for want of memory.
MapEntry* new_entry(const char* key, std::uint32_t prefix, std::int64_t len,
                    const MapValue* value) {
  auto* entry = static_cast<MapEntry*>(allocate(sizeof(MapEntry), true));
  if (entry == nullptr) return nullptr;
  entry->key = static_cast<char*>(allocate(len + 1, false));
  if (entry->key == nullptr) {
    deallocate(&entry, false);
    return nullptr;
  }
  std::memcpy(entry->key, key, static_cast<std::size_t>(len) + 1);
  entry->key_len = len;
  entry->prefix = prefix;
  if (value != nullptr) entry->value = *value;
  return entry;
}

// One insertion's arguments, the same at every level of its descent.
struct Insertion {
  const char* key;
  std::uint32_t prefix;  // key_prefix(key)
  std::int64_t len;
  const MapValue* value;  // null: the zero value
  bool keep_present;      // a present key keeps its value (hashmap_add_looked_up)
};

// tree_insert's recursion, with the key's prefix computed once. *out
// receives the entry holding the key (null for want of memory), *added
// whether it is a new one.
std::int32_t insert_below(const Insertion& insertion, MapEntry** slot, MapEntry** out,
                          bool* added) {
  MapEntry* entry = *slot;
  if (entry == nullptr) {
    entry = new_entry(insertion.key, insertion.prefix, insertion.len, insertion.value);
    *out = entry;
    if (entry == nullptr) return 0;
    *added = true;
    *slot = entry;
    return 1;
  }
  const int order = tree_compare(insertion.key, insertion.prefix, entry);
  if (order == 0) {
    if (!insertion.keep_present) {
      release_value(&entry->value);
      entry->value = insertion.value != nullptr ? *insertion.value : MapValue{};
    }
    *out = entry;
    return 0;
  }
  const std::int32_t grown = order < 0 ? -insert_below(insertion, &entry->left, out, added)
                                       : insert_below(insertion, &entry->right, out, added);
  if (grown == 0) return 0;
  entry->balance += grown;
  if (entry->balance >= -1 && entry->balance <= 1) return entry->balance != 0 ? 1 : 0;
  return 1 - tree_rebalance(slot);
}

// Releases the trees of every root slot, a warm-up group at a time.
void destroy_bucket_trees(HashMap* map) {
  const std::uint32_t count = hashmap_count(map);
  for (std::uint64_t first = 1; first <= count;) {
    const std::uint64_t end = warm_group_end(map, first);
    warm_trees(map, first, end, true);
    for (; first < end; ++first)
      tree_destroy(*hashmap_slot(map, first));
  }
}

}  // namespace

std::uint32_t murmur3_32(const void* key, std::int64_t len) {
  const auto* data = static_cast<const unsigned char*>(key);
  const auto length = static_cast<std::uint32_t>(len);
  std::uint32_t h = length;  // the seed is the length
  const std::uint32_t blocks = length / 4;
  for (std::uint32_t i = 0; i < blocks; ++i) {
    h ^= mix_block(load_le32(data + 4 * static_cast<std::size_t>(i)));
    h = rotate_left(h, 13);
    h = h * 5 + 0xe6546b64u;
  }
  const unsigned char* tail = data + 4 * static_cast<std::size_t>(blocks);
  std::uint32_t k = 0;
  switch (length & 3) {
    case 3:
      k ^= static_cast<std::uint32_t>(tail[2]) << 16;
      [[fallthrough]];
    case 2:
      k ^= static_cast<std::uint32_t>(tail[1]) << 8;
      [[fallthrough]];
    case 1:
      k ^= tail[0];
      h ^= mix_block(k);
  }
  h ^= length;
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  h ^= h >> 16;
  return h;
}

std::int32_t string_length(const char* s) {
  return static_cast<std::int32_t>(find_nul(s));
}

HashMap* hashmap_create(std::uint32_t count) {
  if (count == 0 || count == UINT32_MAX) return nullptr;
  // Slot 0 and one root pointer per bucket: sized in pointers on purpose.
  auto* map = static_cast<HashMap*>(allocate(
      // NOLINTNEXTLINE(bugprone-sizeof-expression)
      (static_cast<std::int64_t>(count) + 1) * static_cast<std::int64_t>(sizeof(MapEntry*)), true));
  if (map == nullptr) return nullptr;
  map->count_word = count;
  return map;
}

MapEntry* hashmap_get(const HashMap* map, const char* key, std::int64_t len) {
  if (key == nullptr || key[0] == '\0') return nullptr;
  if (len < 0) len = string_length(key);
  return tree_find(key, *hashmap_root_slot(map, key, len));
}

MapEntry* tree_find(const char* key, MapEntry* root) {
  const std::uint32_t prefix = key_prefix(key);
  while (root != nullptr) {
    // A large table is walked at memory latency. Both children start their
    // way into the cache while this entry is compared, so the next level
    // waits less. A request for a null child does nothing.
    warm_cache_line(root->left);
    warm_cache_line(root->right);
    const int order = tree_compare(key, prefix, root);
    if (order == 0) return root;
    root = tree_child(root, order);
  }
  return nullptr;
}

void hashmap_find_batch(const HashMap* map, MapLookup* lookups, int n) {
  for (int done = 0; done < n; done += HASHMAP_LOOKUP_GROUP) {
    const int group = n - done < HASHMAP_LOOKUP_GROUP ? n - done : HASHMAP_LOOKUP_GROUP;
    find_group(map, lookups + done, group);
  }
}

std::uint64_t hashmap_warm_trees(const HashMap* map, std::uint64_t first) {
  const std::uint64_t end = warm_group_end(map, first);
  warm_trees(map, first, end, false);
  return end;
}

std::int32_t tree_insert(const char* key, std::int64_t len, const MapValue* value, MapEntry** slot,
                         MapEntry** out) {
  bool added = false;
  return insert_below(Insertion{key, key_prefix(key), len, value, false}, slot, out, &added);
}

MapEntry* hashmap_put(HashMap* map, const char* key, std::int64_t len, const MapValue* value) {
  if (key == nullptr || key[0] == '\0') return nullptr;
  if (len < 0) len = string_length(key);
  MapEntry* result = nullptr;
  tree_insert(key, len, value, hashmap_root_slot(map, key, len), &result);
  return result;
}

MapAdd hashmap_add_looked_up(HashMap* map, const MapLookup* lookup, const MapValue* value) {
  if (lookup->slot == 0) return MapAdd::not_stored;
  MapEntry* entry = nullptr;
  bool added = false;
  insert_below(Insertion{lookup->key, lookup->prefix, lookup->len, value, true},
               hashmap_slot(map, lookup->slot), &entry, &added);
  if (entry == nullptr) return MapAdd::not_stored;
  return added ? MapAdd::added : MapAdd::present;
}

std::int32_t tree_rebalance(MapEntry** slot) {
  MapEntry* top = *slot;
  const TreeSide heavy = top->balance == 2 ? TreeSide::right : TreeSide::left;
  if ((top->balance != 2 && top->balance != -2) || tree_link(top, heavy) == nullptr) return 0;
  // One body for the rules of a right-heavy top and their mirror images for
  // a left-heavy one: child is top's child on the heavy side, sign that
  // side's sign (+1 or -1), inner the side facing the other way.
  const std::int32_t sign = tree_sign(heavy);
  const TreeSide inner = tree_opposite(heavy);
  MapEntry* child = tree_link(top, heavy);
  if (child->balance != -sign) {  // single rotation towards the inner side
    const std::int32_t child_before = child->balance;
    tree_link(top, heavy) = tree_link(child, inner);
    tree_link(child, inner) = top;
    child->balance = child_before - sign;
    top->balance = sign - child_before;
    *slot = child;
    return child_before != 0 ? 1 : 0;
  }
  // Double rotation: child's inner child rises to the top.
  MapEntry* middle = tree_link(child, inner);
  const std::int32_t middle_before = middle->balance;
  tree_link(child, inner) = tree_link(middle, heavy);
  tree_link(middle, heavy) = child;
  tree_link(top, heavy) = tree_link(middle, inner);
  tree_link(middle, inner) = top;
  top->balance = middle_before == sign ? -sign : 0;
  child->balance = middle_before == -sign ? sign : 0;
  middle->balance = 0;
  *slot = middle;
  return 1;
}

void release_value(MapValue* value) {
  if (value_owns_block(value->kind)) {
    deallocate(&value->payload.pointer, false);
  } else if (value->kind == VALUE_NESTED_MAP) {
    auto* nested = static_cast<HashMap*>(value->payload.pointer);
    value->payload.pointer = nullptr;
    hashmap_destroy(nested);
  }
}

void tree_destroy(MapEntry* entry) {
  if (entry == nullptr) return;
  // The right child and this entry's key block (whose header and guard are
  // checked on release) are fetched while the left subtree is released.
  warm_cache_line(entry->right);
  warm_cache_line(entry->key);
  if (entry->left != nullptr) tree_destroy(entry->left);
  if (entry->right != nullptr) tree_destroy(entry->right);
  release_value(&entry->value);
  deallocate_batch(0, &entry->key, &entry, nullptr);
}

void hashmap_destroy(HashMap* map) {
  if (map == nullptr) return;
  destroy_bucket_trees(map);
  deallocate(&map, false);
}
