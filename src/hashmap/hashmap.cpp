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
    // waits less. A prefetch of a null child does nothing.
    __builtin_prefetch(root->left);
    __builtin_prefetch(root->right);
    const int order = tree_compare(key, prefix, root);
    if (order == 0) return root;
    root = tree_child(root, order);
  }
  return nullptr;
}

namespace {

// Where an entry's key block usually starts, counted from the entry. The key
// block is requested from the heap right after its entry (new_entry), and a
// heap that carves consecutive small requests from one region, as glibc's
// does, puts it right behind: the distance is then the heap's share of the
// entry's block, the 24 guard bytes and the entry with the heap's size word,
// rounded up to its 16-byte steps. Only requests are made at this guess, so
// a wrong one costs a wasted request and never a wrong result.
constexpr std::uintptr_t KEY_FOLLOWS_ENTRY =
    (24 + sizeof(MapEntry) + sizeof(std::size_t) + 15) & ~std::uintptr_t{15};

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

}  // namespace

void hashmap_find_batch(const HashMap* map, MapLookup* lookups, int n) {
  for (int done = 0; done < n; done += HASHMAP_LOOKUP_GROUP) {
    const int group = n - done < HASHMAP_LOOKUP_GROUP ? n - done : HASHMAP_LOOKUP_GROUP;
    find_group(map, lookups + done, group);
  }
}

namespace {

// The breadth-first warm-up of hashmap_warm_trees. With for_release, for a
// release that follows, it also requests what releasing each entry block
// and key block reads beyond the entry and the key (warm_block_release).
void warm_trees(const HashMap* map, std::uint64_t first, std::uint64_t count, bool for_release) {
  // A queue in breadth-first order: when entry i is reached, the entries
  // before it have had the time to arrive, and its own was requested with
  // its level.
  const MapEntry* queue[HASHMAP_WARM_ENTRIES];
  int n = 0;
  for (std::uint64_t i = first; i < first + count && n < HASHMAP_WARM_ENTRIES; ++i) {
    const MapEntry* root = *hashmap_slot(map, i);
    if (root == nullptr) continue;
    warm_entry(root);
    queue[n++] = root;
  }
  for (int i = 0; i < n; ++i) {
    const MapEntry* entry = queue[i];
    warm_cache_line(entry->key);
    warm_cache_line(entry->key + entry->key_len);
    if (for_release) {
      warm_block_release(entry, sizeof(MapEntry));
      warm_block_release(entry->key, entry->key_len + 1);
    }
    for (const MapEntry* child : {entry->left, entry->right}) {
      if (child == nullptr || n == HASHMAP_WARM_ENTRIES) continue;
      warm_entry(child);
      queue[n++] = child;
    }
  }
}

}  // namespace

void hashmap_warm_trees(const HashMap* map, std::uint64_t first, std::uint64_t count) {
  warm_trees(map, first, count, false);
}

namespace {

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

}  // namespace

namespace {

// tree_insert's recursion, with the key's prefix computed once.
std::int32_t insert_below(const char* key, std::uint32_t prefix, std::int64_t len,
                          const MapValue* value, MapEntry** slot, MapEntry** out) {
  MapEntry* entry = *slot;
  if (entry == nullptr) {
    entry = new_entry(key, prefix, len, value);
    *out = entry;
    if (entry == nullptr) return 0;
    *slot = entry;
    return 1;
  }
  const int order = tree_compare(key, prefix, entry);
  if (order == 0) {
    release_value(&entry->value);
    entry->value = value != nullptr ? *value : MapValue{};
    *out = entry;
    return 0;
  }
  const std::int32_t grown = order < 0 ? -insert_below(key, prefix, len, value, &entry->left, out)
                                       : insert_below(key, prefix, len, value, &entry->right, out);
  if (grown == 0) return 0;
  entry->balance += grown;
  if (entry->balance >= -1 && entry->balance <= 1) return entry->balance != 0 ? 1 : 0;
  return 1 - tree_rebalance(slot);
}

}  // namespace

std::int32_t tree_insert(const char* key, std::int64_t len, const MapValue* value, MapEntry** slot,
                         MapEntry** out) {
  return insert_below(key, key_prefix(key), len, value, slot, out);
}

namespace {

// Stores key, whose key_prefix is prefix, into the tree of the root slot:
// the one insertion behind hashmap_put and hashmap_put_looked_up.
MapEntry* put_in_slot(MapEntry** slot, const char* key, std::uint32_t prefix, std::int64_t len,
                      const MapValue* value) {
  MapEntry* result = nullptr;
  insert_below(key, prefix, len, value, slot, &result);
  return result;
}

}  // namespace

MapEntry* hashmap_put(HashMap* map, const char* key, std::int64_t len, const MapValue* value) {
  if (key == nullptr || key[0] == '\0') return nullptr;
  if (len < 0) len = string_length(key);
  return put_in_slot(hashmap_root_slot(map, key, len), key, key_prefix(key), len, value);
}

MapEntry* hashmap_put_looked_up(HashMap* map, const MapLookup* lookup, const MapValue* value) {
  if (lookup->slot == 0) return nullptr;
  return put_in_slot(hashmap_slot(map, lookup->slot), lookup->key, lookup->prefix, lookup->len,
                     value);
}

std::int32_t tree_rebalance(MapEntry** slot) {
  MapEntry* n = *slot;
  if (n->balance == 2 && n->right != nullptr) {
    MapEntry* r = n->right;
    if (r->balance != -1) {  // single rotation to the left
      const std::int32_t r_before = r->balance;
      n->right = r->left;
      r->left = n;
      r->balance = r_before - 1;
      n->balance = 1 - r_before;
      *slot = r;
      return r_before != 0 ? 1 : 0;
    }
    MapEntry* m = r->left;  // double rotation, right then left
    const std::int32_t m_before = m->balance;
    r->left = m->right;
    m->right = r;
    n->right = m->left;
    m->left = n;
    n->balance = m_before > 0 ? -1 : 0;
    r->balance = m_before < 0 ? 1 : 0;
    m->balance = 0;
    *slot = m;
    return 1;
  }
  if (n->balance == -2 && n->left != nullptr) {
    MapEntry* l = n->left;
    if (l->balance != 1) {  // single rotation to the right
      const std::int32_t l_before = l->balance;
      n->left = l->right;
      l->right = n;
      l->balance = l_before + 1;
      n->balance = -1 - l_before;
      *slot = l;
      return l_before != 0 ? 1 : 0;
    }
    MapEntry* m = l->right;  // double rotation, left then right
    const std::int32_t m_before = m->balance;
    l->right = m->left;
    m->left = l;
    n->left = m->right;
    m->right = n;
    n->balance = m_before < 0 ? 1 : 0;
    l->balance = m_before > 0 ? -1 : 0;
    m->balance = 0;
    *slot = m;
    return 1;
  }
  return 0;
}

namespace {

// Bucket trees released per warm-up (warm_trees): enough entries to
// keep many misses in flight, few enough to stay in the cache until their
// release.
constexpr std::uint64_t RELEASE_GROUP = 16;

void destroy_bucket_trees(HashMap* map) {
  const std::uint32_t count = hashmap_count(map);
  for (std::uint64_t first = 1; first <= count; first += RELEASE_GROUP) {
    const std::uint64_t n = count - first + 1 < RELEASE_GROUP ? count - first + 1 : RELEASE_GROUP;
    warm_trees(map, first, n, true);
    for (std::uint64_t i = first; i < first + n; ++i)
      tree_destroy(*hashmap_slot(map, i));
  }
}

}  // namespace

void release_value(MapValue* value) {
  switch (value->kind) {
    case VALUE_BLOCK_1:
    case VALUE_BLOCK_2:
    case VALUE_BLOCK_3:
      deallocate(&value->payload.pointer, false);
      break;
    case VALUE_NESTED_MAP:
      if (value->payload.pointer != nullptr) {
        destroy_bucket_trees(static_cast<HashMap*>(value->payload.pointer));
        deallocate(&value->payload.pointer, false);
      }
      break;
    default:
      break;
  }
}

void tree_destroy(MapEntry* entry) {
  if (entry == nullptr) return;
  // The right child and this entry's key block (whose header and guard are
  // checked on release) are fetched while the left subtree is released.
  __builtin_prefetch(entry->right);
  __builtin_prefetch(entry->key);
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
