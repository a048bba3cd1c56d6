// Hash map: the hash and the bucket numbering, the AVL shapes that decide the
// output order, value replacement and release, key edge cases, memory
// accounting and failure, and the bounds of string_length.
#include "hashmap/hashmap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "hashmap/hashmap_tree.hpp"
#include "memory/memory.hpp"
#include "support/byte_total_fixture.hpp"
#include "support/guard_pages.hpp"
#include "support/test_heap.hpp"
#include "support/tree_check.hpp"

namespace {

// ---- an independent MurmurHash3_x86_32, with a free seed ----------------------

// Written from the published algorithm, deliberately unlike the production
// code (byte-assembled words, a tail loop), so that both agreeing means
// something.
std::uint32_t reference_murmur(const std::string& data, std::uint32_t seed) {
  const auto rotl = [](std::uint32_t x, unsigned r) { return (x << r) | (x >> (32 - r)); };
  const auto scramble = [&](std::uint32_t k) { return rotl(k * 0xcc9e2d51u, 15) * 0x1b873593u; };
  const std::size_t n = data.size();
  const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(data[i] & 0xff); };
  std::uint32_t h = seed;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    std::uint32_t k = 0;
    for (std::size_t b = 4; b-- > 0;)
      k = (k << 8) | byte(i + b);
    h = rotl(h ^ scramble(k), 13) * 5 + 0xe6546b64u;
  }
  if (i < n) {
    std::uint32_t k = 0;
    for (std::size_t b = n; b-- > i;)
      k = (k << 8) | byte(b);
    h ^= scramble(k);
  }
  h ^= static_cast<std::uint32_t>(n);
  h = (h ^ (h >> 16)) * 0x85ebca6bu;
  h = (h ^ (h >> 13)) * 0xc2b2ae35u;
  return h ^ (h >> 16);
}

struct MurmurVector {
  std::string data;
  std::uint32_t seed;
  std::uint32_t hash;
};

// Published MurmurHash3_x86_32 vectors.
TEST(Murmur, ReferenceMatchesPublishedVectors) {
  const MurmurVector vectors[] = {
      {"", 0, 0},
      {"", 1, 0x514E28B7},
      {"", 0xffffffff, 0x81F16F39},
      {std::string(4, '\0'), 0, 0x2362F9DE},
      {"\xff\xff\xff\xff", 0, 0x76293B50},
      {"\x21\x43\x65\x87", 0, 0xF55B516B},
      {"\x21\x43\x65\x87", 0x5082EDEE, 0x2362F9DE},
      {"\x21\x43\x65", 0, 0x7E4A8634},
      {"\x21\x43", 0, 0xA0F7B07A},
      {"\x21", 0, 0x72661CF4},
      {"a", 0x9747b28c, 0x7FA09EA6},
      {"aa", 0x9747b28c, 0x5D211726},
      {"aaa", 0x9747b28c, 0x283E0130},
      {"aaaa", 0x9747b28c, 0x5A97808A},
      {"abc", 0x9747b28c, 0xC84A62DD},
      {"abcd", 0x9747b28c, 0xF0478627},
      {"Hello, world!", 0x9747b28c, 0x24884CBA},
      {"The quick brown fox jumps over the lazy dog", 0x9747b28c, 0x2FA826CD},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(reference_murmur(v.data, v.seed), v.hash) << "data of " << v.data.size() << " bytes";
  }
}

TEST(Murmur, SeedIsTheLength) {
  EXPECT_EQ(murmur3_32("abc", 3), 0x472A4C19u);
  EXPECT_EQ(murmur3_32("abcd", 4), 0xAB4A578Eu);
  EXPECT_EQ(murmur3_32("", 0), 0u);
  EXPECT_EQ(reference_murmur("abc", 3), 0x472A4C19u);
  EXPECT_EQ(reference_murmur("abcd", 4), 0xAB4A578Eu);
  // Keys of every length class, with bytes 0x80..0xff (hashed unsigned) and
  // embedded NULs: only len bytes count.
  std::mt19937 random(20240601);
  for (int round = 0; round < 2000; ++round) {
    std::string key(random() % 70, '\0');
    for (char& c : key)
      c = static_cast<char>(random());
    ASSERT_EQ(murmur3_32(key.data(), static_cast<std::int64_t>(key.size())),
              reference_murmur(key, static_cast<std::uint32_t>(key.size())))
        << "key of " << key.size() << " bytes";
  }
  EXPECT_EQ(murmur3_32("\xff\x80\xfe", 3), reference_murmur("\xff\x80\xfe", 3));
}

// ---- fixture --------------------------------------------------------------------

class Map : public ByteTotalTest {};

MapEntry* put(HashMap* map, const std::string& key, const MapValue* value = nullptr) {
  return hashmap_put(map, key.c_str(), static_cast<std::int64_t>(key.size()), value);
}

MapEntry* get(HashMap* map, const std::string& key) {
  return hashmap_get(map, key.c_str(), static_cast<std::int64_t>(key.size()));
}

// The only tree of a one-bucket map.
MapEntry* root_of(HashMap* map) {
  return *hashmap_slot(map, 1);
}

std::string post_order(const MapEntry* root) {
  std::string out;
  tree_post_order(root, out);
  return out;
}

MapValue block_value(std::int64_t kind, std::int64_t size) {
  MapValue v{kind, {}};
  v.payload.pointer = allocate(size, false);
  return v;
}

MapValue plain_value(std::int64_t kind, std::uint64_t word) {
  MapValue v{kind, {}};
  v.payload.word = word;
  return v;
}

// ---- buckets and creation -----------------------------------------------------

TEST_F(Map, KeysLieInTheRootSlotOfTheirBucket) {
  HashMap* map = hashmap_create(65535);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->count_word, 65535u);  // the rest of slot 0 stays zero
  MapEntry* abc = put(map, "abc");
  MapEntry* abcd = put(map, "abcd");
  ASSERT_TRUE(abc && abcd);
  EXPECT_EQ(*hashmap_slot(map, 37700), abc);  // bucket 37699
  EXPECT_EQ(*hashmap_slot(map, 730), abcd);   // bucket 729
  EXPECT_EQ(hashmap_root_slot(map, "abc", 3), hashmap_slot(map, 37700));
  EXPECT_EQ(hashmap_check(map), "");
  hashmap_destroy(map);
}

TEST_F(Map, CreateRefusesCountsOutsideItsLimits) {
  for (const std::uint32_t count : {0u, UINT32_MAX}) {
    EXPECT_EQ(hashmap_create(count), nullptr) << count;
  }
  EXPECT_EQ(test_heap.requests, 0);
}

TEST_F(Map, CreateFailsWhenItsBlockCannotBeObtained) {
  test_heap.fail_at = 1;
  EXPECT_EQ(hashmap_create(7), nullptr);
  EXPECT_EQ(allocated_bytes.load(), start_);
}

TEST_F(Map, CreateGivesEmptyZeroedSlots) {
  HashMap* map = hashmap_create(3);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(allocated_bytes.load(), start_ + 4 * static_cast<std::int64_t>(sizeof(HashMap)));
  EXPECT_EQ(map->count_word, 3u);
  for (std::uint64_t slot = 1; slot <= 3; ++slot)
    EXPECT_EQ(*hashmap_slot(map, slot), nullptr);
  hashmap_destroy(map);
}

TEST_F(Map, DestroyAndTreeDestroyOfNullDoNothing) {
  hashmap_destroy(nullptr);
  tree_destroy(nullptr);
  EXPECT_EQ(test_heap.requests, 0);
  EXPECT_EQ(test_heap.last_freed_block, nullptr);
}

// ---- tree shapes in a one-bucket map ---------------------------------------------

struct ShapeCase {
  std::string name;
  std::vector<std::string> keys;  // in insertion order
  std::string shape;
  std::string post_order;
};

std::vector<ShapeCase> shape_cases() {
  std::vector<ShapeCase> cases;
  std::vector<std::string> three = {"ant", "bee", "cat"};
  do {
    cases.push_back(
        {three[0] + "_" + three[1] + "_" + three[2], three, "bee(0)[ant, cat]", "ant, cat, bee"});
  } while (std::next_permutation(three.begin(), three.end()));
  cases.push_back({"seven_in_order",
                   {"ant", "bee", "cat", "dog", "eel", "fox", "gnu"},
                   "dog(0)[bee(0)[ant, cat], fox(0)[eel, gnu]]",
                   "ant, cat, bee, eel, gnu, fox, dog"});
  cases.push_back({"double_rotation_left_heavy",
                   {"eel", "bee", "fox", "ant", "dog", "cat"},
                   "dog(0)[bee(0)[ant, cat], eel(+1)[-, fox]]",
                   "ant, cat, bee, fox, eel, dog"});
  cases.push_back({"double_rotation_right_heavy",
                   {"bee", "ant", "eel", "fox", "cat", "dog"},
                   "cat(0)[bee(-1)[ant, -], eel(0)[dog, fox]]",
                   "ant, bee, dog, fox, eel, cat"});
  return cases;
}

void PrintTo(const ShapeCase& c, std::ostream* os) {
  *os << c.shape;
}

class Shape : public Map, public testing::WithParamInterface<ShapeCase> {};

TEST_P(Shape, FollowsFromTheInsertionOrder) {
  HashMap* map = hashmap_create(1);
  ASSERT_NE(map, nullptr);
  for (const auto& key : GetParam().keys) {
    ASSERT_NE(put(map, key), nullptr) << key;
    ASSERT_EQ(hashmap_check(map), "") << "after " << key;
  }
  EXPECT_EQ(tree_render(root_of(map)), GetParam().shape);
  EXPECT_EQ(post_order(root_of(map)), GetParam().post_order);
  for (const auto& key : GetParam().keys) {
    const MapEntry* found = tree_find(key.c_str(), root_of(map));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->key, key);
    EXPECT_EQ(found, get(map, key));
  }
  EXPECT_EQ(tree_find("zebra", root_of(map)), nullptr);
  EXPECT_EQ(tree_find("ant", nullptr), nullptr);
  hashmap_destroy(map);
}

INSTANTIATE_TEST_SUITE_P(Table, Shape, testing::ValuesIn(shape_cases()),
                         [](const auto& info) { return info.param.name; });

// tree_insert on a slot of the caller's own, outside any map: each result
// says whether the tree grew, the shapes are hashmap_put's, and a present
// key keeps its entry, takes the new value and leaves the height alone.
TEST_F(Map, TreeInsertBuildsATreeInAnySlot) {
  struct Step {
    const char* key;
    std::int32_t grew;
  };
  // The last key makes eel -2 with a right-heavy left child: a double
  // rotation, after which the tree is no higher than before.
  const Step steps[] = {{"eel", 1}, {"bee", 1}, {"fox", 0}, {"ant", 1}, {"dog", 0}, {"cat", 0}};
  MapEntry* root = nullptr;
  for (const Step& step : steps) {
    MapEntry* out = nullptr;
    EXPECT_EQ(tree_insert(step.key, 3, nullptr, &root, &out), step.grew) << step.key;
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out->key, step.key);
  }
  EXPECT_EQ(tree_render(root), "dog(0)[bee(0)[ant, cat], eel(+1)[-, fox]]");
  const std::int64_t bytes = allocated_bytes.load();
  MapEntry* present = tree_find("cat", root);
  const MapValue value = plain_value(9, 99);
  MapEntry* out = nullptr;
  EXPECT_EQ(tree_insert("cat", 3, &value, &root, &out), 0);
  EXPECT_EQ(out, present);
  EXPECT_EQ(out->value.payload.word, 99u);
  EXPECT_EQ(tree_render(root), "dog(0)[bee(0)[ant, cat], eel(+1)[-, fox]]");
  EXPECT_EQ(allocated_bytes.load(), bytes);
  tree_destroy(root);
}

// Bytes from 0x80 sort after bytes below it (strcmp compares unsigned).
TEST_F(Map, HighBytesSortAfterLowOnes) {
  HashMap* map = hashmap_create(1);
  ASSERT_NE(map, nullptr);
  put(map, "a\x80");
  put(map, "a\x7f");
  put(map, "a\xff");
  EXPECT_EQ(tree_render(root_of(map)), "a\x80(0)[a\x7f, a\xff]");
  hashmap_destroy(map);
}

// ---- comparisons ----------------------------------------------------------------

// Every key of up to five bytes over a few byte values, among them the
// lowest, a letter and bytes past 0x7f, which sort high: tree_compare against
// an entry orders each pair as strcmp does, whether the prefixes decide or
// the rest after them.
TEST(TreeCompare, OrdersEveryPairAsStrcmpDoes) {
  const char bytes[] = {'\x01', 'a', '\x80', '\xff'};
  std::vector<std::string> keys{""};
  for (std::size_t from = 0; keys.back().size() < 5;) {
    const std::size_t to = keys.size();
    for (std::size_t i = from; i < to; ++i) {
      for (const char byte : bytes)
        keys.push_back(keys[i] + byte);
    }
    from = to;
  }
  std::vector<MapEntry> entries;
  for (std::string& key : keys) {
    entries.push_back(MapEntry{key.data(), static_cast<std::int64_t>(key.size()), MapValue{}, 0,
                               key_prefix(key.c_str()), nullptr, nullptr});
  }
  const auto sign = [](int order) { return (order > 0) - (order < 0); };
  for (const std::string& key : keys) {
    const std::uint32_t prefix = key_prefix(key.c_str());
    for (const MapEntry& entry : entries) {
      ASSERT_EQ(sign(tree_compare(key.c_str(), prefix, &entry)),
                sign(std::strcmp(key.c_str(), entry.key)))
          << testing::PrintToString(key) << " against " << testing::PrintToString(entry.key);
    }
  }
}

// The prefix of a key shorter than four bytes is read up to its NUL and no
// further: keys end right before an inaccessible page.
TEST(TreeCompare, KeyPrefixReadsNoFurtherThanTheNul) {
  GuardPages pages = guard_pages_open();
  ASSERT_NE(pages.mapping, nullptr);
  const std::uint32_t expected[] = {0, 0x61000000u, 0x61620000u, 0x61626300u, 0x61626364u};
  for (std::size_t len = 0; len <= 4; ++len) {
    char* key = guard_pages_end_at_boundary(pages, len + 1);
    std::memcpy(key, "abcd", len);
    key[len] = '\0';
    EXPECT_EQ(key_prefix(key), expected[len]) << len;
  }
  guard_pages_close(&pages);
}

// ---- random insertion against std::map -----------------------------------------

void in_order(const MapEntry* e, std::vector<std::string>& out) {
  if (e == nullptr) return;
  in_order(e->left, out);
  out.emplace_back(e->key);
  in_order(e->right, out);
}

class RandomInsertion : public Map, public testing::WithParamInterface<std::uint32_t> {};

TEST_P(RandomInsertion, KeepsEveryInvariantAfterEachStep) {
  const std::uint32_t buckets = GetParam();
  HashMap* map = hashmap_create(buckets);
  ASSERT_NE(map, nullptr);
  // std::string orders its chars as unsigned, like strcmp.
  std::map<std::string, std::uint64_t> model;
  std::mt19937 random(7 + buckets);
  const char alphabet[] = {'a', 'b', 'c', '\x7f', '\x80', '\xff'};
  const auto random_key = [&] {
    std::string key(1 + random() % 4, 'a');
    for (char& c : key)
      c = alphabet[random() % sizeof alphabet];
    return key;
  };
  for (std::uint64_t step = 0; step < 500; ++step) {
    const std::string key = random_key();
    const MapValue value = plain_value(1, step);
    MapEntry* entry = hashmap_put(map, key.c_str(), -1, &value);
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(entry->key, key);
    model[key] = step;
    ASSERT_EQ(hashmap_check(map), "") << "step " << step;
    for (const auto& [k, v] : model) {
      const MapEntry* found = get(map, k);
      ASSERT_NE(found, nullptr) << "step " << step;
      ASSERT_EQ(found->value.payload.word, v);
    }
    const std::string probe = random_key();
    ASSERT_EQ(get(map, probe) != nullptr, model.count(probe) == 1) << "step " << step;
    std::size_t entries = 0;
    for (std::uint64_t slot = 1; slot <= buckets; ++slot) {
      std::vector<std::string> keys;
      in_order(*hashmap_slot(map, slot), keys);
      entries += keys.size();
      ASSERT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    }
    ASSERT_EQ(entries, model.size());
  }
  hashmap_destroy(map);
}

INSTANTIATE_TEST_SUITE_P(Buckets, RandomInsertion, testing::Values(1u, 2u, 7u));

// ---- replacing a value ------------------------------------------------------------

struct ReplaceCase {
  const char* name;
  std::int64_t kind;
  std::int64_t block_size;  // payload block of that many bytes; -1: null payload
};

void PrintTo(const ReplaceCase& c, std::ostream* os) {
  *os << c.name;
}

class Replace : public Map, public testing::WithParamInterface<ReplaceCase> {};

// The old value as the case describes it, with the bytes it owns.
MapValue make_old_value(const ReplaceCase& c, std::int64_t* owned) {
  const std::int64_t before = allocated_bytes.load();
  MapValue value{c.kind, {}};
  if (c.kind == VALUE_NESTED_MAP && c.block_size >= 0) {
    HashMap* nested = hashmap_create(2);
    const MapValue inner = block_value(-2, c.block_size);
    hashmap_put(nested, "inner", 5, &inner);
    hashmap_put(nested, "plain", 5, nullptr);
    value.payload.pointer = nested;
  } else if (c.kind < 0 && c.kind >= -3 && c.block_size >= 0) {
    value.payload.pointer = allocate(c.block_size, false);
  } else {
    value.payload.word = 0x1234;  // plain data, or a null pointer below
    if (c.block_size < 0) value.payload.pointer = nullptr;
  }
  *owned = allocated_bytes.load() - before;
  return value;
}

TEST_P(Replace, ReleasesTheOldValueAndKeepsEntryAndShape) {
  HashMap* map = hashmap_create(1);
  ASSERT_NE(map, nullptr);
  for (const char* key : {"ant", "bee", "cat", "dog", "eel"})
    put(map, key);
  const std::string shape = tree_render(root_of(map));

  std::int64_t owned = 0;
  const MapValue old_value = make_old_value(GetParam(), &owned);
  MapEntry* first = put(map, "bee", &old_value);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->value.kind, old_value.kind);
  EXPECT_EQ(first->value.payload.word, old_value.payload.word);

  const std::int64_t bytes_before = allocated_bytes.load();
  const std::int64_t requests_before = test_heap.requests;
  const MapValue new_value = plain_value(7, 42);
  MapEntry* second = put(map, "bee", &new_value);
  EXPECT_EQ(second, first);
  EXPECT_EQ(test_heap.requests, requests_before);  // allocates nothing
  EXPECT_EQ(allocated_bytes.load(), bytes_before - owned);
  EXPECT_EQ(second->value.kind, 7);
  EXPECT_EQ(second->value.payload.word, 42u);
  EXPECT_EQ(second->key_len, 3);
  EXPECT_EQ(tree_render(root_of(map)), shape);

  // A null value stores the zero value.
  const MapValue owning = block_value(-1, 9);
  put(map, "bee", &owning);
  const std::int64_t with_block = allocated_bytes.load();
  EXPECT_EQ(put(map, "bee", nullptr), first);
  EXPECT_EQ(allocated_bytes.load(), with_block - 9);
  EXPECT_EQ(first->value.kind, 0);
  EXPECT_EQ(first->value.payload.word, 0u);
  EXPECT_EQ(tree_render(root_of(map)), shape);
  hashmap_destroy(map);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Replace,
    testing::Values(ReplaceCase{"block_1", -1, 16}, ReplaceCase{"block_2", -2, 0},
                    ReplaceCase{"block_3", -3, 100}, ReplaceCase{"block_null", -1, -1},
                    ReplaceCase{"nested_map", VALUE_NESTED_MAP, 33},
                    ReplaceCase{"nested_null", VALUE_NESTED_MAP, -1},
                    ReplaceCase{"plain_minus_4", -4, 0}, ReplaceCase{"plain_host", 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- keys --------------------------------------------------------------------------

struct NoKeyCase {
  const char* key;
  std::int64_t len;
};

void PrintTo(const NoKeyCase& c, std::ostream* os) {
  *os << (c.key == nullptr ? "null" : "empty") << " key, len " << c.len;
}

class NoKey : public Map, public testing::WithParamInterface<NoKeyCase> {};

TEST_P(NoKey, NullOrEmptyKeyStoresNothingWhateverLenSays) {
  HashMap* map = hashmap_create(1);
  ASSERT_NE(map, nullptr);
  put(map, "ant");
  MapValue value = block_value(-1, 8);
  const std::int64_t bytes = allocated_bytes.load();
  const std::int64_t requests = test_heap.requests;
  EXPECT_EQ(hashmap_put(map, GetParam().key, GetParam().len, &value), nullptr);
  EXPECT_EQ(hashmap_get(map, GetParam().key, GetParam().len), nullptr);
  EXPECT_EQ(test_heap.requests, requests);
  EXPECT_EQ(allocated_bytes.load(), bytes);  // the value stays the caller's
  EXPECT_EQ(tree_render(root_of(map)), "ant");
  deallocate(&value.payload.pointer, false);
  hashmap_destroy(map);
}

INSTANTIATE_TEST_SUITE_P(Table, NoKey,
                         testing::Values(NoKeyCase{nullptr, 3}, NoKeyCase{nullptr, -1},
                                         NoKeyCase{nullptr, 0}, NoKeyCase{"", 0}, NoKeyCase{"", 4},
                                         NoKeyCase{"", -1}, NoKeyCase{"\0ant", 4}));

TEST_F(Map, MeasuredAndExactLengthsFindTheSameEntry) {
  HashMap* map = hashmap_create(65535);
  ASSERT_NE(map, nullptr);
  struct {
    std::int64_t put_len, get_len;
  } const rows[] = {{3, -1}, {-1, 3}, {-1, -1}, {3, 3}, {-7, 3}};
  for (const auto& row : rows) {
    MapEntry* stored = hashmap_put(map, "abc", row.put_len, nullptr);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->key_len, 3);
    EXPECT_STREQ(stored->key, "abc");
    EXPECT_EQ(hashmap_get(map, "abc", row.get_len), stored);
    EXPECT_EQ(*hashmap_slot(map, 37700), stored);
  }
  hashmap_destroy(map);
}

// ---- memory ---------------------------------------------------------------------------

TEST_F(Map, DestroyReleasesEverythingIncludingNestedMaps) {
  HashMap* map = hashmap_create(5);
  ASSERT_NE(map, nullptr);
  for (const std::int64_t kind : {-1, -2, -3}) {
    const MapValue v = block_value(kind, 10 - kind);
    ASSERT_NE(put(map, "block" + std::to_string(kind), &v), nullptr);
  }
  const MapValue null_block{-1, {}};
  const MapValue null_map{VALUE_NESTED_MAP, {}};
  put(map, "null block", &null_block);
  put(map, "null map", &null_map);
  // map -> "outer" -> nested -> "middle" -> innermost -> "leaf" (a block)
  MapValue innermost{VALUE_NESTED_MAP, {}};
  innermost.payload.pointer = hashmap_create(3);
  const MapValue leaf = block_value(-3, 50);
  put(static_cast<HashMap*>(innermost.payload.pointer), "leaf", &leaf);
  MapValue nested{VALUE_NESTED_MAP, {}};
  nested.payload.pointer = hashmap_create(2);
  put(static_cast<HashMap*>(nested.payload.pointer), "middle", &innermost);
  put(static_cast<HashMap*>(nested.payload.pointer), "sibling", nullptr);
  put(map, "outer", &nested);
  for (int i = 0; i < 40; ++i)
    put(map, "key" + std::to_string(i));
  EXPECT_EQ(hashmap_check(map), "");
  EXPECT_GT(allocated_bytes.load(), start_);
  hashmap_destroy(map);
  EXPECT_EQ(allocated_bytes.load(), start_);
}

struct FailedPutCase {
  const char* name;
  std::int64_t failing_request;  // 1: the entry block, 2: the key copy
};

void PrintTo(const FailedPutCase& c, std::ostream* os) {
  *os << c.name;
}

class FailedPut : public Map, public testing::WithParamInterface<FailedPutCase> {};

TEST_P(FailedPut, LeavesMapAndByteTotalUnchanged) {
  HashMap* map = hashmap_create(1);
  ASSERT_NE(map, nullptr);
  for (const char* key : {"bee", "ant", "eel", "dog"})
    put(map, key);
  const std::string shape = tree_render(root_of(map));
  MapValue value = block_value(-1, 12);
  const std::int64_t bytes = allocated_bytes.load();
  test_heap.fail_at = test_heap.requests + GetParam().failing_request;
  EXPECT_EQ(put(map, "cat", &value), nullptr);
  EXPECT_EQ(allocated_bytes.load(), bytes);  // half-built entry released; value kept
  EXPECT_EQ(tree_render(root_of(map)), shape);
  EXPECT_EQ(hashmap_check(map), "");
  EXPECT_EQ(get(map, "cat"), nullptr);
  test_heap.fail_at = 0;
  // The map stays usable, and the caller may still hand the value over.
  ASSERT_NE(put(map, "cat", &value), nullptr);
  EXPECT_EQ(tree_render(root_of(map)), "bee(+1)[ant, dog(0)[cat, eel]]");
  hashmap_destroy(map);
}

INSTANTIATE_TEST_SUITE_P(Table, FailedPut,
                         testing::Values(FailedPutCase{"entry_block", 1},
                                         FailedPutCase{"key_copy", 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- tree_rebalance on hand-built trees ----------------------------------------------

struct RebalanceCase {
  const char* name;
  const char* before;  // rendering of the hand-built tree
  const char* after;
  std::int32_t result;
};

// Builds a tree from the rendering grammar: key | key(b)[left, right] | -.
// Entries come from the vector and are never freed through the allocator.
MapEntry* build_tree(const char*& s, std::vector<MapEntry>& pool, std::vector<std::string>& keys) {
  if (*s == '-') {
    ++s;
    return nullptr;
  }
  std::string key;
  while (*s != '\0' && std::strchr("(,]", *s) == nullptr)
    key += *s++;
  keys.push_back(key);
  pool.push_back(MapEntry{});
  MapEntry* e = &pool.back();
  e->key_len = static_cast<std::int64_t>(key.size());
  if (*s == '(') {
    e->balance = std::atoi(++s);
    s = std::strchr(s, '[') + 1;
    e->left = build_tree(s, pool, keys);
    s += 2;  // ", "
    e->right = build_tree(s, pool, keys);
    ++s;  // ']'
  }
  return e;
}

void PrintTo(const RebalanceCase& c, std::ostream* os) {
  *os << c.before;
}

class Rebalance : public testing::TestWithParam<RebalanceCase> {};

TEST_P(Rebalance, AppliesTheRuleOfTheRootsBalance) {
  std::vector<MapEntry> pool;
  std::vector<std::string> keys;
  pool.reserve(16);  // entries must not move while linked
  keys.reserve(16);
  const char* text = GetParam().before;
  MapEntry* root = build_tree(text, pool, keys);
  for (std::size_t i = 0; i < pool.size(); ++i)
    pool[i].key = keys[i].data();
  ASSERT_EQ(tree_render(root), GetParam().before);
  MapEntry* slot = root;
  EXPECT_EQ(tree_rebalance(&slot), GetParam().result);
  EXPECT_EQ(tree_render(slot), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Rebalance,
    testing::Values(
        // Nothing to do: balance within -1..+1, or the heavier child missing.
        RebalanceCase{"leaf", "b", "b", 0},
        RebalanceCase{"minus_one", "b(-1)[a, -]", "b(-1)[a, -]", 0},
        RebalanceCase{"plus_one", "b(+1)[-, c]", "b(+1)[-, c]", 0},
        RebalanceCase{"zero", "b(0)[a, c]", "b(0)[a, c]", 0},
        RebalanceCase{"plus_two_no_right", "b(+2)[a, -]", "b(+2)[a, -]", 0},
        RebalanceCase{"minus_two_no_left", "b(-2)[-, c]", "b(-2)[-, c]", 0},
        // Single rotations; a heavier child of balance 0 keeps the height.
        RebalanceCase{"single_right", "a(+2)[-, b(+1)[-, c]]", "b(0)[a, c]", 1},
        RebalanceCase{"single_left", "c(-2)[b(-1)[a, -], -]", "b(0)[a, c]", 1},
        RebalanceCase{"single_right_even", "a(+2)[-, c(0)[b, d]]", "c(-1)[a(+1)[-, b], d]", 0},
        RebalanceCase{"single_left_even", "d(-2)[b(0)[a, c], -]", "b(+1)[a, d(-1)[c, -]]", 0},
        // Double rotations, with the middle entry's balance -1, 0 and +1.
        RebalanceCase{"double_right", "a(+2)[-, c(-1)[b, -]]", "b(0)[a, c]", 1},
        RebalanceCase{"double_left", "c(-2)[a(+1)[-, b], -]", "b(0)[a, c]", 1},
        RebalanceCase{"double_right_m_minus", "b(+2)[a, f(-1)[d(-1)[c, -], g]]",
                      "d(0)[b(0)[a, c], f(+1)[-, g]]", 1},
        RebalanceCase{"double_right_m_plus", "b(+2)[a, f(-1)[d(+1)[-, e], g]]",
                      "d(0)[b(-1)[a, -], f(0)[e, g]]", 1},
        RebalanceCase{"double_left_m_minus", "f(-2)[b(+1)[a, d(-1)[c, -]], g]",
                      "d(0)[b(0)[a, c], f(+1)[-, g]]", 1},
        RebalanceCase{"double_left_m_plus", "f(-2)[b(+1)[a, d(+1)[-, e]], g]",
                      "d(0)[b(-1)[a, -], f(0)[e, g]]", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- string_length ---------------------------------------------------------------------

// Strings against inaccessible pages: every read outside the aligned 16-byte
// blocks that hold the string would fault.
TEST(StringLength, NeverReadsPastTheBlockOfItsNul) {
  GuardPages pages = guard_pages_open();
  ASSERT_NE(pages.mapping, nullptr);
  for (std::size_t len = 0; len <= 64; ++len) {
    for (std::size_t shift = 0; shift < 16; ++shift) {
      // The NUL in the last aligned block before the trailing guard page, at
      // every position of it, so the start takes every alignment too.
      guard_pages_fill(pages, 'x');
      char* end = guard_pages_end_at_boundary(pages, len + 1 + shift);
      end[len] = '\0';
      ASSERT_EQ(string_length(end), static_cast<std::int32_t>(len)) << len << "/" << shift;
      // Starting right after the leading guard page, at every offset into the
      // first aligned block.
      guard_pages_fill(pages, 'x');
      char* start = guard_pages_start_at_boundary(pages, shift);
      start[len] = '\0';
      ASSERT_EQ(string_length(start), static_cast<std::int32_t>(len)) << len << "/" << shift;
      ASSERT_EQ(std::strlen(start), len);
    }
  }
  guard_pages_close(&pages);
}

// Keys in guarded blocks of exactly their size: the aligned over-read is
// exempt from AddressSanitizer, so this runs clean in the sanitizer build.
TEST(StringLength, MeasuresHeapKeysOfEveryLength) {
  for (std::int64_t len = 0; len <= 48; ++len) {
    auto* key = static_cast<char*>(allocate(len + 1, false));
    ASSERT_NE(key, nullptr);
    std::memset(key, '\xe9', static_cast<std::size_t>(len));
    key[len] = '\0';
    EXPECT_EQ(string_length(key), len);
    deallocate(&key, false);
  }
}

// ---- batch lookup, insertion at a looked-up slot, tree warm-up ------------------

// Every bucket tree of map rendered, so any change to keys, links or balances
// shows.
std::string render_all(const HashMap* map) {
  std::string out;
  for (std::uint64_t i = 1; i <= hashmap_count(map); ++i)
    out += tree_render(*hashmap_slot(map, i)) + "|";
  return out;
}

// A map of count buckets holding 200 host names, which share their first
// four bytes, and a few names no longer than that, and the names.
HashMap* host_map(std::uint32_t count, std::vector<std::string>& present) {
  HashMap* map = hashmap_create(count);
  for (int i = 0; i < 200 && map != nullptr; ++i) {
    present.push_back("host" + std::to_string(i * 7919 % 1000) + ".example.com");
    if (put(map, present.back()) == nullptr) return nullptr;
  }
  for (const char* name : {"h", "ho", "hos", "host", "hosu", "i.io"}) {
    present.push_back(name);
    if (map != nullptr && put(map, present.back()) == nullptr) return nullptr;
  }
  return map;
}

// The lookup batch answers every lookup exactly as hashmap_get does, whatever
// it gets (present, absent, null and empty keys, exact and negative lengths,
// batches of every size from 0 to past two lockstep groups), measures
// negative lengths, names each key's root slot and prefix, and changes
// nothing: the trees, the byte total and the heap requests stay as they were.
TEST_F(Map, FindBatchAnswersAsHashmapGetAndChangesNothing) {
  for (const std::uint32_t buckets : {1u, 7u, 65535u}) {
    SCOPED_TRACE(buckets);
    std::vector<std::string> present;
    HashMap* map = host_map(buckets, present);
    ASSERT_NE(map, nullptr);
    const std::string shape = render_all(map);
    const std::int64_t bytes = allocated_bytes.load();
    const std::int64_t requests = test_heap.requests;

    std::vector<MapLookup> asked;
    const std::string absent[] = {
        "absent.example.com", "host0", "hosta", "zzzz", "hot", "\xff\xfe"};
    for (int i = 0; i < 2 * HASHMAP_LOOKUP_GROUP + 5; ++i) {
      const std::string& some = present[static_cast<std::size_t>(i) % present.size()];
      switch (i % 5) {
        case 0:
          asked.push_back(MapLookup{nullptr, 3, 7, nullptr, 7});
          break;
        case 1:
          asked.push_back(MapLookup{"", i % 2 == 0 ? 0 : -1, 7, nullptr, 7});
          break;
        case 2:
          asked.push_back(MapLookup{absent[i % 6].c_str(), -1, 0, nullptr, 0});
          break;
        case 3:
          asked.push_back(MapLookup{some.c_str(), -1, 0, nullptr, 0});  // measured
          break;
        default:
          asked.push_back(
              MapLookup{some.c_str(), static_cast<std::int64_t>(some.size()), 0, nullptr, 0});
      }
    }
    hashmap_find_batch(map, nullptr, 0);
    for (std::size_t n = 0; n <= asked.size(); n += 13) {
      std::vector<MapLookup> lookups(asked.begin(), asked.begin() + static_cast<std::ptrdiff_t>(n));
      hashmap_find_batch(map, lookups.data(), static_cast<int>(n));
      for (std::size_t i = 0; i < n; ++i) {
        const MapLookup& l = lookups[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(l.key, asked[i].key);
        EXPECT_EQ(l.entry, hashmap_get(map, asked[i].key, asked[i].len));
        if (l.key == nullptr || l.key[0] == '\0') {
          EXPECT_EQ(l.slot, 0u);
          EXPECT_EQ(l.prefix, 0u);
          continue;
        }
        EXPECT_EQ(l.len, static_cast<std::int64_t>(std::strlen(l.key)));
        EXPECT_EQ(l.prefix, key_prefix(l.key));
        EXPECT_EQ(hashmap_slot(map, l.slot), hashmap_root_slot(map, l.key, l.len));
      }
    }
    EXPECT_EQ(render_all(map), shape);
    EXPECT_EQ(allocated_bytes.load(), bytes);
    EXPECT_EQ(test_heap.requests, requests);
    EXPECT_EQ(hashmap_check(map), "");
    hashmap_destroy(map);
  }
}

// An add at a looked-up slot stores as hashmap_put does, without the hash:
// the same entries, shapes and balances for the same keys in the same order.
// A key present already keeps its entry and value, also when it was stored
// after the lookup. A null or empty key stores nothing, and the map is
// unchanged when the heap refuses the entry or its key copy.
TEST_F(Map, AddLookedUpStoresAbsentKeysAtTheFoundSlot) {
  for (const std::uint32_t buckets : {1u, 7u, 65535u}) {
    SCOPED_TRACE(buckets);
    std::vector<std::string> keys;
    HashMap* expected = host_map(buckets, keys);
    ASSERT_NE(expected, nullptr);
    HashMap* map = hashmap_create(buckets);
    ASSERT_NE(map, nullptr);
    for (const std::string& key : keys) {
      MapLookup lookup{key.c_str(), -1, 0, nullptr, 0};
      hashmap_find_batch(map, &lookup, 1);
      ASSERT_EQ(lookup.entry, nullptr);
      EXPECT_EQ(hashmap_add_looked_up(map, &lookup, nullptr), MapAdd::added);
      EXPECT_NE(get(map, key), nullptr);
    }
    EXPECT_EQ(render_all(map), render_all(expected));
    EXPECT_EQ(hashmap_check(map), "");

    // A present key: nothing changes, and nothing is asked of the heap.
    const std::string shape = render_all(map);
    const std::int64_t bytes = allocated_bytes.load();
    const std::int64_t requests = test_heap.requests;
    MapLookup found{keys[0].c_str(), -1, 0, nullptr, 0};
    hashmap_find_batch(map, &found, 1);
    ASSERT_NE(found.entry, nullptr);
    found.entry->value = plain_value(1, 7);
    const MapValue eight = plain_value(1, 8);
    EXPECT_EQ(hashmap_add_looked_up(map, &found, &eight), MapAdd::present);
    EXPECT_EQ(found.entry->value.payload.word, 7u);

    // Null and empty keys store nothing.
    for (const char* key : {static_cast<const char*>(nullptr), ""}) {
      MapLookup none{key, -1, 0, nullptr, 0};
      hashmap_find_batch(map, &none, 1);
      EXPECT_EQ(hashmap_add_looked_up(map, &none, nullptr), MapAdd::not_stored);
    }
    EXPECT_EQ(render_all(map), shape);
    EXPECT_EQ(allocated_bytes.load(), bytes);
    EXPECT_EQ(test_heap.requests, requests);

    // A refused entry block or key copy leaves the map as it was.
    for (const std::int64_t failing : {1, 2}) {
      MapLookup fresh{"fresh.example.org", -1, 0, nullptr, 0};
      hashmap_find_batch(map, &fresh, 1);
      test_heap.fail_at = test_heap.requests + failing;
      EXPECT_EQ(hashmap_add_looked_up(map, &fresh, nullptr), MapAdd::not_stored);
      test_heap.fail_at = 0;
      EXPECT_EQ(render_all(map), shape);
      EXPECT_EQ(allocated_bytes.load(), bytes);
    }

    // A key stored after its lookup, by an add of the same lookup's copy:
    // found present, its entry and value kept.
    MapLookup late{"late.example.org", -1, 0, nullptr, 0};
    hashmap_find_batch(map, &late, 1);
    const MapLookup again = late;
    EXPECT_EQ(hashmap_add_looked_up(map, &late, &eight), MapAdd::added);
    const std::int64_t after_add = test_heap.requests;
    EXPECT_EQ(hashmap_add_looked_up(map, &again, nullptr), MapAdd::present);
    EXPECT_EQ(get(map, "late.example.org")->value.payload.word, 8u);
    EXPECT_EQ(test_heap.requests, after_add);
    EXPECT_EQ(hashmap_check(map), "");
    hashmap_destroy(expected);
    hashmap_destroy(map);
  }
}

// The warm-up covers HASHMAP_WARM_GROUP slots, fewer at the end of the map,
// and reads only, for every group of slots (the last slot included) and for
// groups with more entries than it requests.
TEST_F(Map, WarmTreesChangesNothing) {
  for (const std::uint32_t buckets : {1u, 7u, 65535u}) {
    SCOPED_TRACE(buckets);
    std::vector<std::string> present;
    HashMap* map = host_map(buckets, present);
    ASSERT_NE(map, nullptr);
    for (int i = 0; i < 2 * HASHMAP_WARM_ENTRIES; ++i)
      ASSERT_NE(put(map, "many" + std::to_string(i) + ".example.net"), nullptr);
    const std::string shape = render_all(map);
    const std::int64_t bytes = allocated_bytes.load();
    const std::int64_t requests = test_heap.requests;
    for (std::uint64_t first = 1; first <= buckets;) {
      const std::uint64_t end = hashmap_warm_trees(map, first);
      EXPECT_EQ(end, std::min<std::uint64_t>(first + HASHMAP_WARM_GROUP, buckets + 1));
      first = end;
    }
    EXPECT_EQ(hashmap_warm_trees(map, buckets), buckets + 1);
    EXPECT_EQ(render_all(map), shape);
    EXPECT_EQ(allocated_bytes.load(), bytes);
    EXPECT_EQ(test_heap.requests, requests);
    hashmap_destroy(map);
  }
}

}  // namespace
