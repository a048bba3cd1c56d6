// Whole-program fuzz target: arbitrary bytes become one to three input lists,
// each goes through the real path (guarded buffer of size + 2 with '\n' and
// NUL appended, parse_hosts_buffer into one fresh name_table), then
// emit_zones writes the fragment into a memory stream. The checker then
// re-derives, independently of the emitter, what the fragment must hold and
// aborts on any difference:
//   - every line is exactly `local-zone: "NAME" static\n`, NAME of token
//     bytes (0x21..0xff) only, and the fragment ends with a newline;
//   - every written NAME is loadable by the resolver (checked both with
//     zone_name_is_loadable and with the rule restated here, which must
//     agree for every name in the table);
//   - no NAME is written twice, and every NAME is a non-exempt name of the
//     table;
//   - no NAME has a listed parent among the candidates the coverage rule
//     searches, every name that the rule leaves uncovered is written, and the
//     lines come in bucket order, post-order within a bucket;
//   - zone_count equals the number of lines, host_count the number of
//     entries, the table keeps its tree invariants, and the byte total is
//     zero after hashmap_destroy.
//
// Input layout: byte 0 (b) chooses the number of lists, 1 + b % 3, and the
// table's bucket count, by (b / 3) % 4: 7, 1 or 251 buckets, or the
// program's BUCKET_COUNT. The small tables give deep bucket trees, which
// exercise the tree walks and rotations, and run many times faster (the real
// table costs three walks over 65535 slots per input). For two or three
// lists the next one or two bytes are cut points, each a fraction
// (byte / 255) of the remaining bytes, which are then split in order. An
// empty input is one empty list. Seeds in corpus/whole/ start with "\x00"
// (one list), "\x01\xNN" (two) or "\x02\xNN\xNN" (three), 7 buckets, and
// some with 3, 6 or 9 added for the other tables.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hashmap/hashmap.hpp"
#include "hosts/hosts.hpp"
#include "memory/memory.hpp"
#include "run_state/run_state.hpp"
#include "support/tree_check.hpp"
#include "zones/zones.hpp"

namespace {

struct TableName {
  std::string name;
  bool exempt;
};

[[noreturn]] void fail(const char* what, std::string_view name = {}) {
  std::fprintf(stderr, "whole_fuzz: %s", what);
  if (!name.empty()) std::fprintf(stderr, " [%.*s]", static_cast<int>(name.size()), name.data());
  std::fprintf(stderr, "\n");
  std::abort();
}

std::uint32_t bucket_count_for(const std::uint8_t* data, std::size_t size) {
  static constexpr std::uint32_t counts[4] = {7, 1, 251, BUCKET_COUNT};
  return size == 0 ? BUCKET_COUNT : counts[(data[0] / 3) % 4];
}

// The lists that one fuzz input stands for.
std::vector<std::string_view> split_inputs(const std::uint8_t* data, std::size_t size) {
  const auto* text = reinterpret_cast<const char*>(data);
  if (size == 0) return {std::string_view()};
  const std::size_t lists = 1 + data[0] % 3;
  std::size_t header = 1 + (lists - 1);
  if (header > size) header = size;
  const std::size_t body = size - header;
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i < lists; ++i) {
    const std::size_t fraction = i < size ? data[i] : 255;
    cuts.push_back(body * fraction / 255);
  }
  if (cuts.size() == 2 && cuts[1] < cuts[0]) std::swap(cuts[0], cuts[1]);
  std::vector<std::string_view> inputs;
  std::size_t start = 0;
  for (const std::size_t cut : cuts) {
    inputs.emplace_back(text + header + start, cut - start);
    start = cut;
  }
  inputs.emplace_back(text + header + start, body - start);
  return inputs;
}

// As the driver does it: a guarded buffer of size + 2 with '\n' and NUL
// behind the list's bytes, parsed and released.
void parse_one_input(std::string_view input) {
  const auto size = static_cast<std::int64_t>(input.size());
  char* buffer = input_buffer_copy(input.data(), size);
  if (buffer == nullptr) fail("input buffer not allocated");
  parse_hosts_buffer(buffer, size);
  deallocate(&buffer, false);
}

// The resolver-safety rule, restated: no '"' or '\', no empty label (no
// leading '.', no ".."), labels of at most 63 bytes, at most 253 bytes or 254
// with a final '.'.
bool restated_loadable(std::string_view name) {
  if (name.empty() || name.front() == '.') return false;
  const std::size_t limit = name.back() == '.' ? 254 : 253;
  if (name.size() > limit) return false;
  std::size_t label = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '"' || c == '\\') return false;
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if (++label > 63) {
      return false;
    }
  }
  return true;
}

// The coverage rule, restated: the tails after each dot that are not empty,
// shortest first; the first is never looked up, the second only when it has
// 7 bytes or more, every later one always. Returns whether a looked-up tail
// is listed, and whether the name has any tail at all.
bool restated_covered(std::string_view name, const std::set<std::string>& listed, bool* has_tail) {
  int candidates = 0;
  for (std::size_t p = name.size(); p >= 1; --p) {
    if (p == name.size() || name[p - 1] != '.') continue;
    const std::string tail(name.substr(p));
    const bool searched = candidates >= 2 || (candidates == 1 && tail.size() >= 7);
    if (searched && listed.count(tail) != 0) {
      *has_tail = true;
      return true;
    }
    ++candidates;
  }
  *has_tail = candidates > 0;
  return false;
}

void collect_tree(const MapEntry* entry, std::vector<TableName>& out) {
  if (entry == nullptr) return;
  collect_tree(entry->left, out);
  collect_tree(entry->right, out);
  if (entry->key == nullptr || entry->key_len < 1) fail("entry without key");
  const std::string_view key(entry->key, static_cast<std::size_t>(entry->key_len));
  if (entry->key[entry->key_len] != '\0' || std::strlen(entry->key) != key.size()) {
    fail("key length disagrees with its NUL", key);
  }
  out.push_back({std::string(key), host_is_exempt(entry->value)});
}

// Every stored name as the parser must leave it: token bytes only, lower
// case, not "localhost", not starting with '#'.
std::vector<TableName> collect_table() {
  std::vector<TableName> names;
  for (std::uint64_t slot = 1; slot <= hashmap_count(name_table); ++slot) {
    collect_tree(hashmap_root(name_table, slot), names);
  }
  for (const TableName& entry : names) {
    for (const char c : entry.name) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte <= 0x20) fail("stored name holds a blank or NUL", entry.name);
      if (byte >= 'A' && byte <= 'Z') fail("stored name not lower-cased", entry.name);
    }
    if (entry.name == "localhost") fail("localhost stored");
    if (entry.name.front() == '#') fail("stored name starts with '#'", entry.name);
  }
  return names;
}

// The written names, in order, after checking each line's exact format.
std::vector<std::string> read_fragment(const char* text, std::size_t length) {
  static constexpr std::string_view prefix = "local-zone: \"";
  static constexpr std::string_view suffix = "\" static";
  std::vector<std::string> names;
  const std::string_view all(text, length);
  if (!all.empty() && all.back() != '\n') fail("fragment does not end with a newline");
  std::size_t start = 0;
  while (start < all.size()) {
    const std::size_t end = all.find('\n', start);
    const std::string_view line = all.substr(start, end - start);
    if (line.size() < prefix.size() + suffix.size() + 1 ||
        line.substr(0, prefix.size()) != prefix ||
        line.substr(line.size() - suffix.size()) != suffix) {
      fail("malformed line", line);
    }
    const std::string_view name =
        line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
    for (const char c : name) {
      if (static_cast<unsigned char>(c) <= 0x20) fail("written name holds a blank", line);
    }
    names.emplace_back(name);
    start = end + 1;
  }
  return names;
}

// table: the stored names in the emitter's order (slots in increasing
// order, post-order within each bucket tree).
void check_fragment(const std::vector<std::string>& written, const std::vector<TableName>& table) {
  std::set<std::string> listed;
  for (const TableName& entry : table) {
    if (!listed.insert(entry.name).second) fail("name stored twice", entry.name);
    const bool ours = restated_loadable(entry.name);
    if (ours !=
        zone_name_is_loadable(entry.name.data(), static_cast<std::int64_t>(entry.name.size()))) {
      fail("zone_name_is_loadable disagrees with the rule", entry.name);
    }
  }

  std::set<std::string> seen;
  for (const std::string& name : written) {
    if (!seen.insert(name).second) fail("name written twice", name);
    if (!zone_name_is_loadable(name.data(), static_cast<std::int64_t>(name.size()))) {
      fail("unloadable name written", name);
    }
    if (listed.count(name) == 0) fail("written name not in the table", name);
  }

  std::vector<std::string> expected;
  for (const TableName& entry : table) {
    bool has_tail = false;
    const bool covered = restated_covered(entry.name, listed, &has_tail);
    const bool should_write =
        has_tail && !covered && !entry.exempt && restated_loadable(entry.name);
    if (!should_write && seen.count(entry.name) != 0) {
      fail("name written that is exempt, covered or has no inner dot", entry.name);
    }
    if (should_write) {
      if (seen.count(entry.name) == 0) fail("uncovered, loadable name not written", entry.name);
      expected.push_back(entry.name);
    }
  }
  if (written != expected) fail("lines out of bucket and post-order");
  if (zone_count < 0 || static_cast<std::size_t>(zone_count) != written.size()) {
    fail("zone_count differs from the number of lines");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  run_state_reset();
  name_table = hashmap_create(bucket_count_for(data, size));
  if (name_table == nullptr) fail("hashmap_create failed");

  for (const std::string_view input : split_inputs(data, size))
    parse_one_input(input);
  const std::string problem = hashmap_check(name_table);
  if (!problem.empty()) fail("table invariant broken", problem);

  char* text = nullptr;
  std::size_t length = 0;
  zone_file = open_memstream(&text, &length);
  if (zone_file == nullptr) fail("open_memstream failed");
  emit_zones();
  if (std::ferror(zone_file) != 0) fail("write error on the memory stream");
  if (std::fclose(zone_file) != 0) fail("memory stream did not close");
  zone_file = nullptr;

  const std::vector<TableName> table = collect_table();
  if (lost_names != 0) fail("names lost without memory pressure");
  if (host_count < 0 || static_cast<std::size_t>(host_count) != table.size()) {
    fail("host_count differs from the number of stored names");
  }
  check_fragment(read_fragment(text, length), table);
  std::free(text);

  hashmap_destroy(name_table);
  run_state_reset();
  if (allocated_bytes.load() != 0) fail("bytes still allocated after hashmap_destroy");
  return 0;
}
