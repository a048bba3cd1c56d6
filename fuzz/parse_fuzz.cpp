// Fuzz target for the hosts-list parser: arbitrary bytes become one input
// buffer (bytes, '\n', NUL, in a guarded block as the driver makes it) parsed
// into a fresh table. Checks, aborting on any failure:
//  - every stored name is non-empty, has no byte 0x00..0x20 and no upper-case
//    letter, its key_len matches, and its value is a host value;
//  - the table holds exactly the names and flags of a plain line-by-line
//    model of the grammar, and host_count is their number;
//  - the byte total returns to zero once the buffer and table are released.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hashmap/hashmap.hpp"
#include "hosts/hosts.hpp"
#include "memory/memory.hpp"
#include "run_state/run_state.hpp"

namespace {

// The parser does not depend on the bucket count; a small table keeps each
// run fast (creating, walking and destroying 65535 slots dominated it).
constexpr std::uint32_t FUZZ_BUCKET_COUNT = 251;

using Names = std::map<std::string, int>;

void check(bool ok) {
  if (!ok) std::abort();
}

void collect(const MapEntry* e, Names& out) {
  if (e == nullptr) return;
  collect(e->left, out);
  check(e->key_len > 0 && static_cast<std::int64_t>(std::strlen(e->key)) == e->key_len);
  for (std::int64_t i = 0; i < e->key_len; ++i) {
    const auto c = static_cast<unsigned char>(e->key[i]);
    check(c > 0x20 && !(c >= 'A' && c <= 'Z'));
  }
  const bool exempt = host_is_exempt(e->value);
  check(e->value.kind == host_value(exempt).kind &&
        e->value.payload.word == host_value(exempt).payload.word);
  out[std::string(e->key, static_cast<std::size_t>(e->key_len))] = exempt ? 1 : 0;
  collect(e->right, out);
}

bool is_blank(unsigned char c) {
  return c >= 0x01 && c <= 0x20;
}

// The grammar line by line: lines end at '\n' or NUL; blanks separate
// tokens; a '#' line is a comment; one token with a dot after its first byte
// is a bare domain; an accepted address starts a name list that ends at a
// token beginning with '#'.
void model_line(const std::string& line, Names& names) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && is_blank(static_cast<unsigned char>(line[i])))
      ++i;
    std::size_t j = i;
    while (j < line.size() && !is_blank(static_cast<unsigned char>(line[j])))
      ++j;
    if (j > i) tokens.push_back(line.substr(i, j - i));
    i = j;
  }
  if (tokens.empty() || tokens[0][0] == '#') return;
  std::vector<std::string> list;
  int exempt = 0;
  const std::size_t dot = tokens[0].find('.');
  if (tokens.size() == 1 && dot != std::string::npos && dot > 0) {
    list = tokens;
  } else if (tokens[0] == "0.0.0.0" || tokens[0] == "127.0.0.1" || tokens[0] == "1.1.1.1") {
    exempt = tokens[0] == "1.1.1.1" ? 1 : 0;
    for (std::size_t t = 1; t < tokens.size() && tokens[t][0] != '#'; ++t)
      list.push_back(tokens[t]);
  }
  for (std::string name : list) {
    for (char& c : name)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    if (name != "localhost") names.emplace(name, exempt);  // first occurrence wins
  }
}

Names model(const std::uint8_t* data, std::size_t size) {
  Names names;
  std::string line;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\n' || c == '\0') {
      model_line(line, names);
      line.clear();
    } else {
      line += c;
    }
  }
  model_line(line, names);
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check(allocated_bytes.load() == 0);
  run_state_reset();
  name_table = hashmap_create(FUZZ_BUCKET_COUNT);
  check(name_table != nullptr);

  const auto length = static_cast<std::int64_t>(size);
  char* buffer = input_buffer_copy(data, length);
  check(buffer != nullptr);
  parse_hosts_buffer(buffer, length);
  deallocate(&buffer, false);

  Names stored;
  for (std::uint64_t i = 1; i <= hashmap_count(name_table); ++i)
    collect(hashmap_root(name_table, i), stored);
  check(lost_names == 0);
  check(host_count == static_cast<std::int32_t>(stored.size()));
  check(stored == model(data, size));

  hashmap_destroy(name_table);
  run_state_reset();
  check(allocated_bytes.load() == 0);
  return 0;
}
