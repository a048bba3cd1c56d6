// Hosts-list parser: the line grammar (comments, bare domains, accepted
// addresses, names up to a comment), lower-casing, de-duplication and the
// first occurrence's exempt flag, the host values stored, the count of new
// names and of names lost for want of memory, and the bounds of what the
// parser reads and writes in its buffer.
#include "hosts/hosts.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hashmap/hashmap.hpp"
#include "memory/memory.hpp"
#include "run_state/run_state.hpp"
#include "support/byte_total_fixture.hpp"
#include "support/guard_pages.hpp"
#include "support/test_heap.hpp"

namespace {

using namespace std::string_literals;

// name -> exempt flag
using Names = std::map<std::string, int>;

// Every entry of the table; fails the test on a value that is not a host
// value (host_value of its own flag).
void collect(const MapEntry* e, Names& out) {
  if (e == nullptr) return;
  collect(e->left, out);
  const bool exempt = host_is_exempt(e->value);
  EXPECT_EQ(e->value.kind, host_value(exempt).kind) << e->key;
  EXPECT_EQ(e->value.payload.word, host_value(exempt).payload.word) << e->key;
  EXPECT_EQ(static_cast<std::int64_t>(std::strlen(e->key)), e->key_len);
  out[std::string(e->key, static_cast<std::size_t>(e->key_len))] = exempt ? 1 : 0;
  collect(e->right, out);
}

Names table_contents() {
  Names names;
  for (std::uint64_t i = 1; i <= hashmap_count(name_table); ++i)
    collect(hashmap_root(name_table, i), names);
  return names;
}

// Parses bytes as one input list, through a guarded buffer laid out as the
// driver lays it out (bytes, '\n', NUL); returns the buffer as rewritten.
std::string parse_text(const std::string& bytes) {
  const auto size = static_cast<std::int64_t>(bytes.size());
  char* buffer = input_buffer_copy(bytes.data(), size);
  if (buffer == nullptr) {
    ADD_FAILURE() << "no buffer";
    return {};
  }
  parse_hosts_buffer(buffer, size);
  std::string rewritten(buffer, static_cast<std::size_t>(size) + 2);
  deallocate(&buffer, false);
  return rewritten;
}

class Parser : public ByteTotalTest {
 protected:
  void SetUp() override {
    ByteTotalTest::SetUp();
    new_table();
  }
  void TearDown() override {
    test_heap_reset();
    hashmap_destroy(name_table);
    run_state_reset();
    ByteTotalTest::TearDown();
  }
  // Starts over with an empty name_table and zero counters.
  static void new_table() {
    hashmap_destroy(name_table);
    run_state_reset();
    name_table = hashmap_create(BUCKET_COUNT);
    ASSERT_NE(name_table, nullptr);
  }
};

struct ParseCase {
  const char* what;
  std::vector<std::string> files;  // parsed in this order into one table
  Names stored;
  std::int32_t hosts;  // expected host_count
};

// Each case starts from an empty table.
const ParseCase parse_cases[] = {
    // Accepted addresses.
    {"0.0.0.0 line", {"0.0.0.0 ads.example.com"}, {{"ads.example.com", 0}}, 1},
    {"1.1.1.1 line is exempt", {"1.1.1.1 A.com b.com"}, {{"a.com", 1}, {"b.com", 1}}, 2},
    {"127.0.0.1 line, localhost skipped", {"127.0.0.1 localhost LOCALHOST x.y"}, {{"x.y", 0}}, 1},
    {"names need no dot", {"0.0.0.0 a"}, {{"a", 0}}, 1},
    {"an address as a name", {"0.0.0.0 0.0.0.0"}, {{"0.0.0.0", 0}}, 1},
    {"several lines",
     {"0.0.0.0 a.com\n127.0.0.1 b.com\n1.1.1.1 c.com\n"},
     {{"a.com", 0}, {"b.com", 0}, {"c.com", 1}},
     3},
    {"duplicates counted once", {"0.0.0.0 a.com a.com\n0.0.0.0 A.COM\n"}, {{"a.com", 0}}, 1},
    {"a name token is not examined",
     {"0.0.0.0 1.1.1.1 ::1 #x.com"},
     {{"1.1.1.1", 0}, {"::1", 0}},
     2},
    // Near misses of the addresses.
    {"0.0.0.00", {"0.0.0.00 a.com"}, {}, 0},
    {"127.0.0.10", {"127.0.0.10 a.com"}, {}, 0},
    {"::1", {"::1 a.com b.com"}, {}, 0},
    {"255.255.255.255", {"255.255.255.255 a.com"}, {}, 0},
    {"address prefixes", {"0.0.0. a.com\n127.0.0 a.com\n1.1.1 a.com\n0 a.com\n"}, {}, 0},
    {"address with a different byte", {"0.0.0.1 a.com\n1.1.1.2 a.com\n127.0.0.2 a.com\n"}, {}, 0},
    {"address in upper case context", {"0.0.0.0A a.com"}, {}, 0},
    // One-token lines.
    {"0.0.0.0 alone is a name", {"0.0.0.0"}, {{"0.0.0.0", 0}}, 1},
    {"0.0.0.0 with trailing blanks", {"0.0.0.0 \t \r"}, {{"0.0.0.0", 0}}, 1},
    {"127.0.0.1 alone", {"127.0.0.1"}, {{"127.0.0.1", 0}}, 1},
    {"1.1.1.1 alone is not exempt", {"1.1.1.1"}, {{"1.1.1.1", 0}}, 1},
    {"bare domain", {"Example.COM"}, {{"example.com", 0}}, 1},
    {"bare domains with odd dots", {"com.\na..b\n"}, {{"com.", 0}, {"a..b", 0}}, 2},
    {"no usable dot", {".com\n.a.com\ncom\nlocalhost\n"}, {}, 0},
    {"bare domain then names", {"a.com b.com"}, {}, 0},
    {"bare domain after blank lines",
     {"\n\n \t\n  example.com\n\n \n0.0.0.0 a.b"},
     {{"example.com", 0}, {"a.b", 0}},
     2},
    // Comments.
    {"comment line", {"# 0.0.0.0 a.com\n#a.com\n"}, {}, 0},
    {"comment after leading blanks", {"   \t# 0.0.0.0 a.com\n"}, {}, 0},
    {"comment behind a bare domain", {"example.com # ads"}, {}, 0},
    {"# inside a bare domain", {"example.com#ads"}, {{"example.com#ads", 0}}, 1},
    {"# at a name's start ends the list", {"0.0.0.0 a.com#x #b.com c.com"}, {{"a.com#x", 0}}, 1},
    {"# right after the address", {"0.0.0.0 #a.com"}, {}, 0},
    // Line ends.
    {"CRLF",
     {"0.0.0.0 a.com\r\n0.0.0.0 b.com c.com\r\nd.com\r\n"},
     {{"a.com", 0}, {"b.com", 0}, {"c.com", 0}, {"d.com", 0}},
     4},
    {"lone CR bare domains are one line", {"a.com\rb.com\rc.com\r"}, {}, 0},
    {"lone CR hosts lines are one line",
     {"0.0.0.0 a.com\r0.0.0.0 b.com\r"},
     {{"a.com", 0}, {"0.0.0.0", 0}, {"b.com", 0}},
     3},
    {"no final newline", {"0.0.0.0 a.com"}, {{"a.com", 0}}, 1},
    {"list ends with its line", {"0.0.0.0 a.com  \nb c\n"}, {{"a.com", 0}}, 1},
    {"address then newline", {"0.0.0.0\nb.com"}, {{"0.0.0.0", 0}, {"b.com", 0}}, 2},
    // NUL bytes.
    {"NUL ends a hosts line", {"0.0.0.0\ta.com\0b.com"s}, {{"a.com", 0}, {"b.com", 0}}, 2},
    {"NUL then a bare-domain line", {"1.1.1.1 a.com\0b.com"s}, {{"a.com", 1}, {"b.com", 0}}, 2},
    {"NUL as first byte", {"\0 a.com"s}, {{"a.com", 0}}, 1},
    {"blanks then NUL first", {"  \0 a.com"s}, {{"a.com", 0}}, 1},
    {"NULs only", {"\0\0\0"s}, {}, 0},
    {"NUL inside a name", {"0.0.0.0 ab\0cd.e"s}, {{"ab", 0}, {"cd.e", 0}}, 2},
    // Blanks.
    {"tab, vertical tab, form feed",
     {"0.0.0.0\va.com\fb.com\tc.com"},
     {{"a.com", 0}, {"b.com", 0}, {"c.com", 0}},
     3},
    {"control bytes are blanks",
     {"0.0.0.0\x01"
      "a.com\x1f"
      "b.com\x7f.c"},
     {{"a.com", 0}, {"b.com\x7f.c", 0}},
     2},
    {"only blanks", {" \n\t\r\n \v\f\x01\n"}, {}, 0},
    {"empty file", {""}, {}, 0},
    // localhost variants.
    {"LocalHost is skipped", {"0.0.0.0 LocalHost"}, {}, 0},
    {"localhost. is a name", {"0.0.0.0 localhost."}, {{"localhost.", 0}}, 1},
    {"localhost.localdomain is a name",
     {"0.0.0.0 LOCALHOST.LocalDomain"},
     {{"localhost.localdomain", 0}},
     1},
    {"localhos and localhostx",
     {"0.0.0.0 localhos localhostx"},
     {{"localhos", 0}, {"localhostx", 0}},
     2},
    // Bytes beyond ASCII letters.
    {"0x7f and 0x80..0xff unchanged",
     {"0.0.0.0 \x7f.com \x80\xC3\xA9.Com \xff\xfe"},
     {{"\x7f.com", 0}, {"\x80\xC3\xA9.com", 0}, {"\xff\xfe", 0}},
     3},
    {"only A-Z are lowered", {"0.0.0.0 @AZ[`az{"}, {{"@az[`az{", 0}}, 1},
    // First occurrence wins.
    {"exempt first, across files", {"1.1.1.1 a.com", "0.0.0.0 a.com"}, {{"a.com", 1}}, 1},
    {"exempt later, across files", {"0.0.0.0 a.com", "1.1.1.1 a.com"}, {{"a.com", 0}}, 1},
    {"bare domain then exempt", {"a.com\n1.1.1.1 a.com b.com"}, {{"a.com", 0}, {"b.com", 1}}, 2},
};

TEST_F(Parser, CaseTable) {
  for (const ParseCase& c : parse_cases) {
    SCOPED_TRACE(c.what);
    new_table();
    for (const std::string& file : c.files)
      parse_text(file);
    EXPECT_EQ(table_contents(), c.stored);
    EXPECT_EQ(host_count, c.hosts);
    EXPECT_EQ(lost_names, 0);
  }
}

TEST_F(Parser, CrlfReadsAsLf) {
  const std::string lf = "# list\n0.0.0.0 a.com b.com\n\nc.com\n127.0.0.1 d.com # x\n";
  std::string crlf;
  for (char ch : lf)
    crlf += ch == '\n' ? "\r\n" : std::string(1, ch);
  parse_text(lf);
  const Names from_lf = table_contents();
  const std::int32_t hosts_lf = host_count;
  new_table();
  parse_text(crlf);
  EXPECT_EQ(table_contents(), from_lf);
  EXPECT_EQ(host_count, hosts_lf);
  EXPECT_EQ(host_count, 4);
}

TEST_F(Parser, LowersOnlyAToZAtEveryNameLength) {
  // Names of every length up to three 16-byte chunks, at every offset of a
  // pattern holding the bytes next to both letter ranges.
  const std::string pattern = "@AZ[`az{\x80\xc1\xda\xe1\xfa\xffQm.Hy";
  for (std::size_t len = 1; len <= 48; ++len) {
    for (std::size_t shift = 0; shift < pattern.size(); ++shift) {
      std::string name, expected;
      for (std::size_t i = 0; i < len; ++i) {
        const char c = pattern[(i + shift) % pattern.size()];
        name += c;
        expected += c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
      }
      const std::string rewritten = parse_text("0.0.0.0 " + name);
      ASSERT_EQ(rewritten.substr(8, len), expected) << len << " " << shift;
      ASSERT_EQ(rewritten.substr(8 + len), "\0\0"s) << len << " " << shift;
    }
  }
}

TEST_F(Parser, RewritesInPlace) {
  // A NUL behind the trimmed line and behind each token; names lower-cased.
  EXPECT_EQ(parse_text("0.0.0.0 A.com  \n"), "0.0.0.0\0a.com\0 \n\n\0"s);
  EXPECT_EQ(parse_text("# C\n"), "# C\0\n\0"s);
}

// Names are stored in groups (looked up together); a list of many
// groups must store exactly what storing one name at a time stores: the
// first occurrence fixes the flag, whether the repeat falls in the same
// group or a later one, on a later line, or in a later file.
TEST_F(Parser, NamesAcrossManyGroupsKeepFirstOccurrence) {
  std::string first, second;
  Names expected;
  const auto name_of = [](int i) { return "n" + std::to_string(i) + ".example.com"; };
  for (int i = 0; i < 100; ++i) {
    // Every tenth name on a bare-domain line (flag 0), the others first on
    // an address line, every third of them exempt.
    const bool bare = i % 10 == 9;
    const int flag = bare ? 0 : i % 3 == 0 ? 1 : 0;
    expected[name_of(i)] = flag;
    // The name's line; after a bare domain, an exempt line for the repeats.
    std::string line =
        bare ? name_of(i) + "\n1.1.1.1 " : (flag != 0 ? "1.1.1.1 " : "0.0.0.0 ") + name_of(i) + " ";
    // Repeats, whatever this line's flag: the previous name in upper case
    // (same group), one 37 names back (an earlier group), and localhost.
    line += "N" + std::to_string(i - 1 < 0 ? 0 : i - 1) + ".EXAMPLE.COM ";
    if (i >= 40) line += name_of(i - 37) + " localhost";
    first += line + "\n";
  }
  const auto distinct = static_cast<std::int32_t>(expected.size());
  // A later file repeats everything with flipped flags and adds one name.
  for (const auto& [name, flag] : expected)
    second += (flag != 0 ? "0.0.0.0 " : "1.1.1.1 ") + name + "\n";
  second += "1.1.1.1 late.example.com\n";
  parse_text(first);
  EXPECT_EQ(host_count, distinct);
  EXPECT_EQ(table_contents(), expected);
  parse_text(second);
  expected["late.example.com"] = 1;
  EXPECT_EQ(table_contents(), expected);
  EXPECT_EQ(host_count, distinct + 1);
  EXPECT_EQ(lost_names, 0);
}

// Each name costs two heap requests when new: its entry, then its key copy.
struct LossCase {
  const char* what;
  std::int64_t fail_at;
  bool fail_later_too;
  const char* input;
  Names stored;
  std::int32_t hosts;
  std::int64_t lost;
};

const LossCase loss_cases[] = {
    {"entry fails", 1, false, "0.0.0.0 a.com b.com c.com", {{"b.com", 0}, {"c.com", 0}}, 3, 1},
    {"key copy fails", 2, false, "0.0.0.0 a.com b.com c.com", {{"b.com", 0}, {"c.com", 0}}, 3, 1},
    {"later copy of a lost name is stored",
     1,
     false,
     "0.0.0.0 a.com a.com a.com",
     {{"a.com", 0}},
     2,
     1},
    {"everything fails", 1, true, "0.0.0.0 a.com a.com\nb.com\n", {}, 3, 3},
};

TEST_F(Parser, CountsNamesTheTableCannotStore) {
  for (const LossCase& c : loss_cases) {
    SCOPED_TRACE(c.what);
    new_table();
    const std::string input = c.input;
    const auto size = static_cast<std::int64_t>(input.size());
    char* buffer = input_buffer_copy(input.data(), size);
    ASSERT_NE(buffer, nullptr);
    test_heap_reset();
    test_heap.fail_at = c.fail_at;
    test_heap.fail_later_too = c.fail_later_too;
    parse_hosts_buffer(buffer, size);
    test_heap_reset();
    deallocate(&buffer, false);
    EXPECT_EQ(table_contents(), c.stored);
    EXPECT_EQ(host_count, c.hosts);
    EXPECT_EQ(lost_names, c.lost);
  }
}

// Inputs whose parse runs every scanner up to the edges: names and lines
// that reach the buffer's end, blanks that do, a NUL first, comments.
std::string guard_input(int pattern, std::size_t len) {
  static const char* const patterns[] = {"0.0.0.0 ab.c de.f\n",
                                         "abcdefghijklmnopqrstu.vwxyz",
                                         " \t\r\n",
                                         "\0 a.b 1.1.1.1 c.d\n",
                                         "# comment line\n",
                                         "127.0.0.1\tx.y\r\n",
                                         "...a.b.\n0.0.0.0\n"};
  const std::string p(patterns[pattern], pattern == 3 ? 18 : std::strlen(patterns[pattern]));
  std::string s;
  while (s.size() < len)
    s += p;
  s.resize(len);
  return s;
}

// Every pattern and length, placed against an inaccessible page at either
// end: any read or write outside the buffer faults, and the parse must give
// the same table, count and rewritten bytes as in an ordinary buffer.
TEST_F(Parser, StaysWithinItsBufferAtPageEdges) {
  GuardPages g = guard_pages_open();
  ASSERT_NE(g.mapping, nullptr);
  for (int pattern = 0; pattern < 7; ++pattern) {
    for (std::size_t len = 0; len <= 64; ++len) {
      const std::string content = guard_input(pattern, len);
      new_table();
      const std::string rewritten = parse_text(content);
      const Names stored = table_contents();
      const std::int32_t hosts = host_count;
      for (int placement = 0; placement < 2; ++placement) {
        SCOPED_TRACE(testing::Message() << "pattern " << pattern << " len " << len
                                        << (placement == 0 ? " at page end" : " at page start"));
        new_table();
        char* buffer = placement == 0 ? guard_pages_end_at_boundary(g, len + 2)
                                      : guard_pages_start_at_boundary(g);
        std::memcpy(buffer, content.data(), len);
        input_buffer_seal(buffer, static_cast<std::int64_t>(len));
        parse_hosts_buffer(buffer, static_cast<std::int64_t>(len));
        EXPECT_EQ(table_contents(), stored);
        EXPECT_EQ(host_count, hosts);
        EXPECT_EQ(std::string(buffer, len + 2), rewritten);
      }
    }
  }
  guard_pages_close(&g);
}

// host_count is the summary's signed 32-bit figure: at its maximum it stays
// there instead of wrapping to a negative count, and the names are stored
// all the same.
TEST_F(Parser, HostCountStopsAtItsMaximum) {
  host_count = INT32_MAX - 1;
  parse_text("0.0.0.0 a.com b.com\nc.com\n");
  EXPECT_EQ(host_count, INT32_MAX);
  EXPECT_EQ(table_contents(), (Names{{"a.com", 0}, {"b.com", 0}, {"c.com", 0}}));
}

}  // namespace
