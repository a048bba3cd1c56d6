// Tests of entry removal: the tree cases of AVL deletion, absent keys, a
// randomized run against std::map, and the release of owned values.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "hashmap/hashmap.hpp"
#include "hashmap/hashmap_tree.hpp"
#include "memory/memory.hpp"
#include "support/byte_total_fixture.hpp"
#include "support/test_heap.hpp"
#include "support/tree_check.hpp"

namespace {

// Every removal test also checks that it leaves the byte total where it
// found it: a leak or a double release fails the test that caused it.
using TreeDelete = ByteTotalTest;
using HashmapRemove = ByteTotalTest;

constexpr std::int64_t kHeaderBytes = 16;  // a guarded block's size and check words

// The heap block behind a guarded block's user pointer, as test_heap sees it.
const void* heap_block_of(const void* user) {
  return static_cast<const char*>(user) - kHeaderBytes;
}

std::int64_t entry_bytes(const std::string& key) {
  return static_cast<std::int64_t>(sizeof(MapEntry) + key.size() + 1);
}

std::int64_t slot_array_bytes(std::uint32_t count) {
  return (static_cast<std::int64_t>(count) + 1) * static_cast<std::int64_t>(sizeof(MapEntry*));
}

MapEntry* put(HashMap* map, const std::string& key) {
  return hashmap_put(map, key.c_str(), static_cast<std::int64_t>(key.size()), nullptr);
}

MapEntry* get(HashMap* map, const std::string& key) {
  return hashmap_get(map, key.c_str(), static_cast<std::int64_t>(key.size()));
}

// Every bucket of map rendered, with the entries' addresses in key order, so
// that equal snapshots mean no link, balance or entry changed.
std::string snapshot(HashMap* map, const std::vector<std::string>& keys) {
  std::string out;
  for (std::uint64_t slot = 1; slot <= hashmap_count(map); ++slot)
    out += tree_render(*hashmap_slot(map, slot)) + ";";
  for (const std::string& key : keys) {
    char address[32];
    std::snprintf(address, sizeof address, "%p,", static_cast<void*>(get(map, key)));
    out += address;
  }
  return out;
}

// ---------------------------------------------------------------------------
// The tree cases, in a map of one bucket.

struct TreeCase {
  std::vector<std::string> keys;  // in insertion order
  std::string before;             // the tree they build
  std::string remove;
  std::string after;
  std::int32_t shorter;  // tree_delete's result
};

const TreeCase kTreeCases[] = {
    // Balance 0 takes the right side; cat has no left child and replaces bee.
    {{"bee", "ant", "cat"}, "bee(0)[ant, cat]", "bee", "cat(-1)[ant, -]", 0},
    // Balance -1 takes the left side; bee has no right child and replaces dog.
    {{"dog", "bee", "fox", "ant"}, "dog(-1)[bee(-1)[ant, -], fox]", "dog", "bee(0)[ant, fox]", 1},
    // eel, the smallest of the right subtree, is detached and replaces dog.
    {{"dog", "bee", "fox", "ant", "cat", "eel", "gnu"},
     "dog(0)[bee(0)[ant, cat], fox(0)[eel, gnu]]",
     "dog",
     "eel(0)[bee(0)[ant, cat], fox(+1)[-, gnu]]",
     0},
    // dog, the largest of the left subtree, is detached; cat reaches -2 and
    // the double rotation puts bee at the top of the left subtree.
    {{"eel", "cat", "ant", "fox", "dog", "gnu", "bee"},
     "eel(-1)[cat(-1)[ant(+1)[-, bee], dog], fox(+1)[-, gnu]]",
     "eel",
     "dog(0)[bee(0)[ant, cat], fox(+1)[-, gnu]]",
     1},
    // eel is detached from the right subtree; fox reaches +2 and the single
    // rotation puts gnu at the top of the right subtree.
    {{"eel", "dog", "cat", "gnu", "fox", "bee", "hen"},
     "dog(+1)[cat(-1)[bee, -], fox(+1)[eel, gnu(+1)[-, hen]]]",
     "dog",
     "eel(0)[cat(-1)[bee, -], gnu(0)[fox, hen]]",
     1},
    // Removing a leaf makes the root +2 with a left-heavy right child.
    {{"bee", "ant", "eel", "cat"}, "bee(+1)[ant, eel(-1)[cat, -]]", "ant", "cat(0)[bee, eel]", 1},
};

// Builds the case's tree and checks that it is the expected one. Returns the
// entry of every key.
std::map<std::string, MapEntry*> build_case(HashMap* map, const TreeCase& c) {
  std::map<std::string, MapEntry*> entries;
  for (const std::string& key : c.keys)
    entries[key] = put(map, key);
  EXPECT_EQ(tree_render(*hashmap_slot(map, 1)), c.before);
  return entries;
}

// The surviving entries kept their addresses and keys; the removed one is gone.
void expect_others_kept(HashMap* map, const TreeCase& c,
                        const std::map<std::string, MapEntry*>& entries) {
  for (const auto& [key, entry] : entries) {
    if (key == c.remove) {
      EXPECT_EQ(get(map, key), nullptr);
      continue;
    }
    EXPECT_EQ(get(map, key), entry) << key;
    EXPECT_STREQ(entry->key, key.c_str());
  }
}

TEST_F(TreeDelete, CasesGiveTheExpectedTrees) {
  for (const TreeCase& c : kTreeCases) {
    SCOPED_TRACE("remove " + c.remove + " from " + c.before);
    for (const bool through_map : {false, true}) {
      HashMap* map = hashmap_create(1);
      ASSERT_NE(map, nullptr);
      const auto entries = build_case(map, c);
      const std::int64_t bytes = allocated_bytes.load();
      const void* removed_block = heap_block_of(entries.at(c.remove));
      if (through_map) {
        hashmap_remove(map, c.remove.c_str(), -1);
      } else {
        EXPECT_EQ(tree_delete(c.remove.c_str(), hashmap_slot(map, 1)), c.shorter);
      }
      EXPECT_EQ(tree_render(*hashmap_slot(map, 1)), c.after);
      EXPECT_EQ(hashmap_check(map), "");
      expect_others_kept(map, c, entries);
      EXPECT_EQ(allocated_bytes.load(), bytes - entry_bytes(c.remove));
      EXPECT_EQ(test_heap.last_freed_block, removed_block) << "the entry block goes last";
      hashmap_destroy(map);
    }
  }
}

// The detaching steps, each case beside its mirror image: the extreme entry
// leaves with both links null, its child (if any) takes its place, and the
// levels above account for the lost height, rotating where it reaches 2.
struct DetachCase {
  std::vector<std::string> keys;  // in insertion order
  bool largest;                   // tree_detach_max, else tree_detach_min
  std::string before;
  std::string detached;
  std::string after;
  std::int32_t shorter;  // the step's result
};

const DetachCase kDetachCases[] = {
    // A leaf, at the second level.
    {{"bee", "ant", "cat", "dog"},
     true,
     "bee(+1)[ant, cat(+1)[-, dog]]",
     "dog",
     "bee(0)[ant, cat]",
     1},
    {{"cat", "dog", "bee", "ant"},
     false,
     "cat(-1)[bee(-1)[ant, -], dog]",
     "ant",
     "cat(0)[bee, dog]",
     1},
    // The extreme entry's child takes its place; the root keeps its height.
    {{"dog", "bee", "fox", "ant", "eel"},
     true,
     "dog(0)[bee(-1)[ant, -], fox(-1)[eel, -]]",
     "fox",
     "dog(-1)[bee(-1)[ant, -], eel]",
     0},
    {{"dog", "bee", "fox", "cat", "gnu"},
     false,
     "dog(0)[bee(+1)[-, cat], fox(+1)[-, gnu]]",
     "bee",
     "dog(+1)[cat, fox(+1)[-, gnu]]",
     0},
    // The root reaches 2 and a single rotation keeps the height.
    {{"dog", "bee", "eel", "ant", "cat"},
     true,
     "dog(-1)[bee(0)[ant, cat], eel]",
     "eel",
     "bee(+1)[ant, dog(-1)[cat, -]]",
     0},
    {{"bee", "ant", "dog", "cat", "eel"},
     false,
     "bee(+1)[ant, dog(0)[cat, eel]]",
     "ant",
     "dog(-1)[bee(+1)[-, cat], eel]",
     0},
};

TEST_F(TreeDelete, DetachUnlinksTheExtremeEntry) {
  for (const DetachCase& c : kDetachCases) {
    SCOPED_TRACE(std::string(c.largest ? "largest" : "smallest") + " of " + c.before);
    HashMap* map = hashmap_create(1);
    ASSERT_NE(map, nullptr);
    for (const std::string& key : c.keys)
      ASSERT_NE(put(map, key), nullptr);
    ASSERT_EQ(tree_render(*hashmap_slot(map, 1)), c.before);
    MapEntry* expected = get(map, c.detached);
    const std::int64_t bytes = allocated_bytes.load();
    MapEntry* out = nullptr;
    const std::int32_t shorter = c.largest ? tree_detach_max(hashmap_slot(map, 1), &out)
                                           : tree_detach_min(hashmap_slot(map, 1), &out);
    EXPECT_EQ(shorter, c.shorter);
    ASSERT_EQ(out, expected);
    EXPECT_EQ(out->left, nullptr);
    EXPECT_EQ(out->right, nullptr);
    EXPECT_EQ(tree_render(*hashmap_slot(map, 1)), c.after);
    EXPECT_EQ(hashmap_check(map), "");
    EXPECT_EQ(allocated_bytes.load(), bytes) << "detaching releases nothing";
    tree_destroy(out);
    hashmap_destroy(map);
  }
}

// ---------------------------------------------------------------------------
// Removals that find nothing.

// Removes key and expects no link, balance, entry or block to have changed.
void expect_nothing_removed(HashMap* map, const std::vector<std::string>& keys, const char* key,
                            std::int64_t len) {
  const std::string before = snapshot(map, keys);
  const std::int64_t bytes = allocated_bytes.load();
  test_heap.last_freed_block = nullptr;
  hashmap_remove(map, key, len);
  EXPECT_EQ(snapshot(map, keys), before);
  EXPECT_EQ(allocated_bytes.load(), bytes);
  EXPECT_EQ(test_heap.last_freed_block, nullptr) << "nothing may be released";
}

const std::vector<std::string> kSevenKeys = {"dog", "bee", "fox", "ant", "cat", "eel", "gnu"};

TEST_F(HashmapRemove, AbsentKeyInPopulatedTreeChangesNothing) {
  HashMap* map = hashmap_create(1);
  for (const std::string& key : kSevenKeys)
    put(map, key);
  for (const char* absent : {"aaa", "cow", "dot", "do", "dogs", "zzz", "\xff"}) {
    SCOPED_TRACE(absent);
    expect_nothing_removed(map, kSevenKeys, absent, -1);
    expect_nothing_removed(map, kSevenKeys, absent, static_cast<std::int64_t>(std::strlen(absent)));
    const std::string before = snapshot(map, kSevenKeys);
    EXPECT_EQ(tree_delete(absent, hashmap_slot(map, 1)), 0);
    EXPECT_EQ(snapshot(map, kSevenKeys), before);
  }
  hashmap_destroy(map);
}

// The first key of the form a<number> whose root slot satisfies wanted.
template <typename Predicate>
std::string find_key(HashMap* map, Predicate wanted) {
  for (int i = 0; i < 10000; ++i) {
    const std::string key = "a" + std::to_string(i);
    if (wanted(hashmap_root_slot(map, key.c_str(), static_cast<std::int64_t>(key.size()))))
      return key;
  }
  ADD_FAILURE() << "no key found";
  return "";
}

TEST_F(HashmapRemove, BucketHoldingAnotherKeyKeepsItsEntry) {
  HashMap* map = hashmap_create(7);
  const std::int64_t empty_map_bytes = allocated_bytes.load();
  MapEntry* ant = put(map, "ant");
  MapEntry** ant_slot = hashmap_root_slot(map, "ant", 3);
  const std::string neighbour = find_key(map, [&](MapEntry** slot) { return slot == ant_slot; });
  ASSERT_NE(neighbour, "ant");
  expect_nothing_removed(map, {"ant"}, neighbour.c_str(), -1);
  expect_nothing_removed(map, {"ant"}, neighbour.c_str(),
                         static_cast<std::int64_t>(neighbour.size()));
  EXPECT_EQ(*ant_slot, ant);

  hashmap_remove(map, "ant", 3);
  EXPECT_EQ(*ant_slot, nullptr);
  EXPECT_EQ(allocated_bytes.load(), empty_map_bytes);
  hashmap_destroy(map);
}

TEST_F(HashmapRemove, EmptyBucketChangesNothing) {
  HashMap* map = hashmap_create(7);
  put(map, "ant");
  const std::string elsewhere = find_key(map, [](MapEntry** slot) { return *slot == nullptr; });
  expect_nothing_removed(map, {"ant"}, elsewhere.c_str(), -1);
  hashmap_destroy(map);
}

TEST_F(HashmapRemove, NullAndEmptyKeysRemoveNothing) {
  for (const std::uint32_t count : {1u, 7u}) {
    HashMap* map = hashmap_create(count);
    for (const std::string& key : kSevenKeys)
      put(map, key);
    const char empty_then_bytes[] = "\0dog";
    for (const std::int64_t len : {-1, 0, 3, 4}) {
      expect_nothing_removed(map, kSevenKeys, nullptr, len);
      expect_nothing_removed(map, kSevenKeys, empty_then_bytes, len);
    }
    hashmap_destroy(map);
  }
}

// ---------------------------------------------------------------------------
// Randomized puts and removes against std::map.

struct Model {
  std::map<std::string, MapEntry*> entries;  // the entry each present key got
  std::int64_t bytes = 0;                    // what the live entries hold
};

void expect_map_matches(HashMap* map, const std::vector<std::string>& key_space, const Model& model,
                        std::int64_t empty_map_bytes, int step) {
  ASSERT_EQ(hashmap_check(map), "") << "after step " << step;
  for (const std::string& key : key_space) {
    const auto found = model.entries.find(key);
    MapEntry* entry = get(map, key);
    if (found == model.entries.end()) {
      ASSERT_EQ(entry, nullptr) << key << " after step " << step;
      continue;
    }
    ASSERT_EQ(entry, found->second) << key << " moved after step " << step;
    ASSERT_STREQ(entry->key, key.c_str());
    ASSERT_EQ(entry->value.kind, 1);
    ASSERT_EQ(entry->value.payload.word, key.size());
  }
  ASSERT_EQ(allocated_bytes.load() - empty_map_bytes, model.bytes) << "after step " << step;
}

void run_random_operations(std::uint32_t count, std::uint32_t seed) {
  std::vector<std::string> key_space;
  for (int i = 0; i < 48; ++i)
    key_space.push_back(std::string(1 + i % 4, 'k') + std::to_string(i));
  std::mt19937 rng(seed);
  const std::int64_t baseline = allocated_bytes.load();
  HashMap* map = hashmap_create(count);
  ASSERT_NE(map, nullptr);
  const std::int64_t empty_map_bytes = allocated_bytes.load();
  ASSERT_EQ(empty_map_bytes - baseline, slot_array_bytes(count));
  Model model;

  for (int step = 0; step < 6000; ++step) {
    const std::string& key = key_space[rng() % key_space.size()];
    // Both ways of giving the length decide the same bucket.
    const std::int64_t len = rng() % 2 ? -1 : static_cast<std::int64_t>(key.size());
    if (rng() % 100 < 55) {
      const MapValue value{1, {.word = key.size()}};
      MapEntry* entry = hashmap_put(map, key.c_str(), len, &value);
      ASSERT_NE(entry, nullptr);
      const auto [place, added] = model.entries.try_emplace(key, entry);
      if (added) {
        model.bytes += entry_bytes(key);
      } else {
        ASSERT_EQ(entry, place->second) << "a present key keeps its entry";
      }
    } else {
      hashmap_remove(map, key.c_str(), len);
      if (model.entries.erase(key) != 0) model.bytes -= entry_bytes(key);
    }
    expect_map_matches(map, key_space, model, empty_map_bytes, step);
  }

  // Removing every key, in a random order, empties every bucket.
  std::vector<std::string> order = key_space;
  std::shuffle(order.begin(), order.end(), rng);
  for (const std::string& key : order) {
    hashmap_remove(map, key.c_str(), -1);
    if (model.entries.erase(key) != 0) model.bytes -= entry_bytes(key);
    expect_map_matches(map, key_space, model, empty_map_bytes, -1);
  }
  for (std::uint64_t slot = 1; slot <= count; ++slot)
    EXPECT_EQ(*hashmap_slot(map, slot), nullptr);
  EXPECT_EQ(allocated_bytes.load() - baseline, slot_array_bytes(count));
  hashmap_destroy(map);
  EXPECT_EQ(allocated_bytes.load(), baseline);
}

// One bucket holds every key in one tree; seven spread them over trees
// that each still see insertions, removals and rebalancing.
TEST_F(HashmapRemove, RandomOperationsAgainstAModel) {
  struct Case {
    std::uint32_t buckets;
    std::uint32_t seed;
  };
  for (const Case c : {Case{1, 20261210}, Case{7, 4242}}) {
    SCOPED_TRACE(std::to_string(c.buckets) + " buckets, seed " + std::to_string(c.seed));
    run_random_operations(c.buckets, c.seed);
  }
}

// ---------------------------------------------------------------------------
// Release of what the removed entry's value owns.

struct OwnedValueCase {
  std::int64_t kind;
  std::int64_t payload_size;  // owned block's size; -1: no block (payload is plain data or null)
  std::uint64_t plain_payload;
};

const OwnedValueCase kOwnedValueCases[] = {
    {-1, 24, 0},          {-2, 1, 0}, {-3, 100, 0}, {-1, -1, 0},  // a null payload releases nothing
    {-4, -1, 0xdeadbeef},                                         // plain data: owns nothing
    {1, -1, 1},                                                   // a host value
};

// The removed entry sits alone in its bucket (hashmap_remove's own path) or
// at the root of a tree with two children.
TEST_F(HashmapRemove, ReleasesWhatTheValueOwns) {
  for (const OwnedValueCase& c : kOwnedValueCases) {
    for (const bool with_siblings : {false, true}) {
      SCOPED_TRACE("kind " + std::to_string(c.kind) + (with_siblings ? " in a tree" : " alone"));
      HashMap* map = hashmap_create(1);
      MapValue value{c.kind, {.word = c.plain_payload}};
      if (c.payload_size >= 0) value.payload.pointer = allocate(c.payload_size, false);
      hashmap_put(map, "bee", 3, &value);
      if (with_siblings) {
        put(map, "ant");
        put(map, "cat");
      }
      const std::int64_t bytes = allocated_bytes.load();
      const void* entry_block = heap_block_of(get(map, "bee"));
      hashmap_remove(map, "bee", 3);
      EXPECT_EQ(get(map, "bee"), nullptr);
      const std::int64_t owned = c.payload_size >= 0 ? c.payload_size : 0;
      EXPECT_EQ(allocated_bytes.load(), bytes - entry_bytes("bee") - owned);
      EXPECT_EQ(test_heap.last_freed_block, entry_block);
      EXPECT_EQ(hashmap_check(map), "");
      hashmap_destroy(map);
    }
  }
}

// A nested map of five buckets with ten keys, one of whose values is a
// further nested map and one a block. Returns the bytes it holds.
HashMap* make_nested_map(std::int64_t* bytes) {
  const std::int64_t before = allocated_bytes.load();
  HashMap* inner = hashmap_create(3);
  put(inner, "x");
  put(inner, "y");
  HashMap* nested = hashmap_create(5);
  for (int i = 0; i < 10; ++i)
    put(nested, "n" + std::to_string(i));
  const MapValue inner_value{VALUE_NESTED_MAP, {.pointer = inner}};
  hashmap_put(nested, "n3", 2, &inner_value);
  const MapValue block_value{-2, {.pointer = allocate(40, false)}};
  hashmap_put(nested, "n7", 2, &block_value);
  *bytes = allocated_bytes.load() - before;
  return nested;
}

// Outer map of one bucket holding "mid" with the nested map as its value,
// alone or as the root between "ant" and "zoo".
HashMap* make_outer_map(bool with_siblings, HashMap* nested) {
  HashMap* map = hashmap_create(1);
  const MapValue value{VALUE_NESTED_MAP, {.pointer = nested}};
  hashmap_put(map, "mid", 3, &value);
  if (with_siblings) {
    put(map, "ant");
    put(map, "zoo");
  }
  return map;
}

TEST_F(HashmapRemove, NestedMapIsReleasedWithItsEntry) {
  for (const bool with_siblings : {false, true}) {
    std::int64_t nested_bytes = 0;
    HashMap* nested = make_nested_map(&nested_bytes);
    HashMap* map = make_outer_map(with_siblings, nested);
    const std::int64_t bytes = allocated_bytes.load();
    hashmap_remove(map, "mid", 3);
    EXPECT_EQ(get(map, "mid"), nullptr);
    EXPECT_EQ(allocated_bytes.load(), bytes - nested_bytes - entry_bytes("mid"));
    hashmap_destroy(map);
  }
}

// The release order is observed at the moment a damaged block stops it: the
// guard word of the outer entry's key (or of the entry itself) is overwritten,
// so the removal ends the process when it reaches that block. An exit handler
// then reports whether the byte total and the last block handed to free are
// those that the required order leaves at that point.
struct ReleaseProbe {
  std::int64_t expected_bytes;
  const void* expected_last_freed;
};
ReleaseProbe release_probe;

void report_release_order() {
  const bool as_expected = allocated_bytes.load() == release_probe.expected_bytes &&
                           test_heap.last_freed_block == release_probe.expected_last_freed;
  const char* text = as_expected ? "release order as expected\n" : "release order wrong\n";
  if (write(STDERR_FILENO, text, std::strlen(text)) < 0) std::abort();
}

void damage_guard_word(void* user, std::size_t size) {
  static_cast<unsigned char*>(user)[size] = 1;
}

// Runs in the death test's child: removes "mid" with one of its blocks
// damaged, after recording what must already be released when the removal
// reaches that block.
void remove_with_damaged_block(bool with_siblings, bool damage_key) {
  std::int64_t nested_bytes = 0;
  HashMap* nested = make_nested_map(&nested_bytes);
  HashMap* map = make_outer_map(with_siblings, nested);
  MapEntry* mid = get(map, "mid");
  if (damage_key) {
    // Stopped at the key: the nested map's entries, keys and values are gone
    // and its slot array went last; the key and the entry are still counted.
    release_probe = {allocated_bytes.load() - nested_bytes, heap_block_of(nested)};
    damage_guard_word(mid->key, 4);
  } else {
    // Stopped at the entry: the key went just before it.
    release_probe = {allocated_bytes.load() - nested_bytes - 4, heap_block_of(mid->key)};
    damage_guard_word(mid, sizeof(MapEntry));
  }
  std::atexit(report_release_order);
  hashmap_remove(map, "mid", 3);
}

TEST(HashmapRemoveDeath, NestedMapGoesBeforeTheKeyAndTheKeyBeforeTheEntry) {
  for (const bool with_siblings : {false, true}) {
    for (const bool damage_key : {true, false}) {
      SCOPED_TRACE(std::string(with_siblings ? "in a tree, " : "alone, ") +
                   (damage_key ? "key damaged" : "entry damaged"));
      EXPECT_EXIT(remove_with_damaged_block(with_siblings, damage_key), testing::ExitedWithCode(1),
                  "Corruption of allocated memory detected by deallocate_batch\\(\\)\\.\n"
                  "release order as expected");
    }
  }
}

}  // namespace
