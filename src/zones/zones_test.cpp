// Zone emitter: which names get a line (a dot other than as the last byte,
// not exempt, not covered by a listed parent, loadable by the resolver), the
// line's bytes, the order of the lines (bucket by bucket, each tree in
// post-order), and that emit_zones writes what emit_tree does tree by tree.
#include "zones/zones.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "run_state/run_state.hpp"
#include "support/byte_total_fixture.hpp"
#include "support/files.hpp"

namespace {

std::string zone_line(const std::string& name) {
  return "local-zone: \"" + name + "\" static\n";
}

// A fresh name_table and an in-memory zone_file for every test.
class Emitter : public ByteTotalTest {
 protected:
  void SetUp() override {
    ByteTotalTest::SetUp();
    run_state_reset();
    name_table = hashmap_create(BUCKET_COUNT);
    ASSERT_NE(name_table, nullptr);
    zone_file = open_memstream(&buffer_, &size_);
    ASSERT_NE(zone_file, nullptr);
  }
  void TearDown() override {
    if (zone_file != nullptr) std::fclose(zone_file);
    zone_file = nullptr;
    std::free(buffer_);
    hashmap_destroy(name_table);
    run_state_reset();
    ByteTotalTest::TearDown();
  }

  // Stores name as the parser does, with its host value.
  void add(const std::string& name, bool exempt = false) {
    const MapValue value = host_value(exempt);
    ASSERT_NE(hashmap_put(name_table, name.data(), static_cast<std::int64_t>(name.size()), &value),
              nullptr)
        << name;
  }

  // Everything written to zone_file so far.
  std::string output() {
    std::fflush(zone_file);
    return std::string(buffer_, size_);
  }

  // The names of the written lines, sorted; fails on a malformed line.
  std::vector<std::string> written_names() {
    std::vector<std::string> names;
    std::istringstream lines(output());
    std::string line;
    const std::string head = "local-zone: \"", tail = "\" static";
    while (std::getline(lines, line)) {
      EXPECT_TRUE(line.size() >= head.size() + tail.size() && line.starts_with(head) &&
                  line.ends_with(tail))
          << line;
      names.push_back(line.substr(head.size(), line.size() - head.size() - tail.size()));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
};

// A table entry: the name, exempt when it starts with '!'.
struct CoverageCase {
  const char* what;
  std::vector<std::string> table;
  std::vector<std::string> written;
};

TEST_F(Emitter, CoverageRule) {
  const std::vector<CoverageCase> cases = {
      {"6-byte two-label tail is never searched", {"x.ab.com", "ab.com"}, {"ab.com", "x.ab.com"}},
      {"7-byte two-label tail is searched", {"x.abc.com", "abc.com"}, {"abc.com"}},
      {"three-label tail is searched whatever its length", {"x.a.b.c", "a.b.c"}, {"a.b.c"}},
      {"short country tail", {"shop.co.uk", "co.uk"}, {"co.uk", "shop.co.uk"}},
      {"three-label parent under a short tail", {"y.x.co.uk", "x.co.uk"}, {"x.co.uk"}},
      {"shortest listed parent covers",
       {"a.b.example.com", "b.example.com", "example.com"},
       {"example.com"}},
      {"no dot", {"com", "localdomain"}, {}},
      {"only dot is the last byte", {"com."}, {}},
      {"two-label name is never covered", {"a.b", "b"}, {"a.b"}},
      {"trailing dots on both", {"x.abc.com.", "abc.com."}, {"abc.com."}},
      {"trailing dot on the child only", {"x.abc.com.", "abc.com"}, {"abc.com", "x.abc.com."}},
      {"exempt parent covers", {"ads.example.com", "!example.com"}, {}},
      {"exempt short parent does not", {"x.ab.com", "!ab.com"}, {"x.ab.com"}},
      {"exempt covered name still covers", {"a.b.example.com", "!b.example.com"}, {}},
      {"last label is never searched", {"a.b.c.d", "d"}, {"a.b.c.d"}},
      {"covered parent still covers", {"z.y.x.co.uk", "y.x.co.uk", "x.co.uk"}, {"x.co.uk"}},
      {"first hit is the shortest parent, longer ones unused",
       {"a.b.c.example.com", "c.example.com", "!b.c.example.com"},
       {"c.example.com"}},
      {"bytes 0x7f..0xff are written",
       {"\x7f\xff.example.com", "caf\xc3\xa9.fr"},
       {"caf\xc3\xa9.fr", "\x7f\xff.example.com"}},
  };
  for (const CoverageCase& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    for (const std::string& name : c.table) {
      if (name[0] == '!')
        add(name.substr(1), true);
      else
        add(name);
    }
    emit_zones();
    std::vector<std::string> expected = c.written;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(written_names(), expected);
    EXPECT_EQ(zone_count, static_cast<std::int32_t>(expected.size()));
  }
}

// What emit_zones writes and counts: one whole line per name, in the
// resolver's form, and a count added to what zone_count held.
TEST_F(Emitter, LinesAndCount) {
  struct Case {
    const char* what;
    std::vector<std::string> table;
    std::int32_t count_before;
    std::string written;
    std::int32_t count_after;
  };
  const Case cases[] = {
      {"an empty table writes nothing", {}, 0, "", 0},
      {"the line's form",
       {"ads.example.com", "example.com"},
       0,
       "local-zone: \"example.com\" static\n",
       1},
      {"the count adds to the running total", {"a.example"}, 5, zone_line("a.example"), 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    for (const std::string& name : c.table)
      add(name);
    zone_count = c.count_before;
    emit_zones();
    EXPECT_EQ(output(), c.written);
    EXPECT_EQ(zone_count, c.count_after);
  }
}

// Entries built by hand: an entry whose key_len is 0 or negative is never
// written, and the entries beneath it are still visited in post-order.
TEST_F(Emitter, NonPositiveKeyLengthIsSkippedButItsSubtreesAreNot) {
  char empty[] = "";
  char left_key[] = "left.example";
  char right_key[] = "right.example";
  char odd_key[] = "odd.example";
  MapEntry left{left_key, 12, {1, {}}, 0, 0, nullptr, nullptr};
  MapEntry right{right_key, 13, {1, {}}, 0, 0, nullptr, nullptr};
  MapEntry root{empty, 0, {1, {}}, 0, 0, &left, &right};
  emit_tree(&root);
  EXPECT_EQ(output(), zone_line("left.example") + zone_line("right.example"));
  EXPECT_EQ(zone_count, 2);

  MapEntry negative{odd_key, -1, {1, {}}, 0, 0, nullptr, nullptr};
  emit_tree(&negative);
  emit_tree(nullptr);
  EXPECT_EQ(zone_count, 2);
}

std::string label(std::size_t n) {
  return std::string(n, 'a');
}

// A name of exactly len bytes made of 63-byte labels and a shorter last one.
std::string name_of_length(std::size_t len) {
  std::string name;
  while (len - name.size() > 64)
    name += label(63) + ".";
  name += label(len - name.size());
  return name;
}

struct SafetyCase {
  std::string name;
  bool loadable;
};

TEST(ZoneNameIsLoadable, Boundaries) {
  const std::vector<SafetyCase> cases = {
      {"example.com", true},
      {"example.com.", true},
      {"com.", true},
      {"\x7f\x80\xff.example", true},
      {label(63) + ".com", true},
      {label(64) + ".com", false},
      {"com." + label(63), true},
      {"com." + label(64), false},
      {"com." + label(63) + ".", true},
      {"com." + label(64) + ".", false},
      {name_of_length(253), true},
      {name_of_length(254), false},
      {name_of_length(253) + ".", true},
      {name_of_length(254) + ".", false},
      {name_of_length(255), false},
      {"a\"b.com", false},
      {"ab.com\"", false},
      {"a\\b.com", false},
      {"ab.com\\", false},
      {".com", false},
      {"a..b", false},
      {"a.b..", false},
      {"..", false},
      {".", false},
      {"", false},
  };
  for (const SafetyCase& c : cases) {
    EXPECT_EQ(zone_name_is_loadable(c.name.data(), static_cast<std::int64_t>(c.name.size())),
              c.loadable)
        << c.name.size() << " bytes: " << c.name;
  }
  EXPECT_EQ(name_of_length(253).size(), 253u);
}

TEST_F(Emitter, UnloadableNamesAreNotWrittenOrCounted) {
  const std::vector<std::string> unsafe = {".com",
                                           "a..b.com",
                                           "x\"y.com",
                                           "x\\y.com",
                                           label(64) + ".com",
                                           name_of_length(254),
                                           name_of_length(254) + "."};
  for (const std::string& name : unsafe)
    add(name);
  add(label(63) + ".com");
  add(name_of_length(253));
  add(name_of_length(253) + ".");
  emit_zones();
  std::vector<std::string> expected = {label(63) + ".com", name_of_length(253),
                                       name_of_length(253) + "."};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(written_names(), expected);
  EXPECT_EQ(zone_count, 3);
}

// Coverage is table membership, so an unloadable name covers its subdomains
// as any other does. Every subdomain of an unloadable name is unloadable
// itself (it holds the same bytes, labels and final dot, and is longer), so
// this cannot show in the fragment; what shows is that neither is written and
// loadable names beside them are.
TEST_F(Emitter, UnloadableParentsAndTheirSubdomainsAreNotWritten) {
  add("x\"y.com");
  add("ads.x\"y.com");
  add("b..example.com");
  add("a.b..example.com");
  add(label(64) + ".com");
  add("sub." + label(64) + ".com");
  add("kept.example.com");
  emit_zones();
  EXPECT_EQ(output(), zone_line("kept.example.com"));
  EXPECT_EQ(zone_count, 1);
}

// The order fixture: a hosts list of real names with buckets that hold
// several names, and the fragment written for it, computed apart from the
// program by tests/fixtures/make_order_fixture.py (its own hash, AVL trees
// and rules).
TEST_F(Emitter, OrderMatchesTheCheckedInFragment) {
  const std::string dir = std::string(HOSTZONES_SOURCE_DIR) + "/tests/fixtures/";
  std::istringstream hosts(read_file(dir + "order_hosts.txt"));
  const std::string expected = read_file(dir + "order_expected.conf");
  std::map<std::uint32_t, int> names_in_bucket;
  std::string address, name;
  for (std::string line; std::getline(hosts, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    fields >> address >> name;
    add(name, address == "1.1.1.1");
    ++names_in_bucket[murmur3_32(name.data(), static_cast<std::int64_t>(name.size())) %
                      BUCKET_COUNT];
  }
  const auto crowded = std::count_if(names_in_bucket.begin(), names_in_bucket.end(),
                                     [](const auto& bucket) { return bucket.second >= 3; });
  ASSERT_GE(crowded, 5) << "the fixture should hold buckets with several names";
  emit_zones();
  EXPECT_EQ(output(), expected);
  const auto lines = std::count(expected.begin(), expected.end(), '\n');
  EXPECT_EQ(zone_count, lines);

  // emit_tree on each root in turn writes the very same lines: the queue
  // that emit_zones shares between trees changes nothing.
  for (std::uint64_t slot = 1; slot <= BUCKET_COUNT; ++slot)
    emit_tree(hashmap_root(name_table, slot));
  EXPECT_EQ(output(), expected + expected);
  EXPECT_EQ(zone_count, 2 * lines);
}

}  // namespace
