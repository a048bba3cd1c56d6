// The hosts-list parser. Contract in hosts.hpp.
//
// Positions are pointers into the buffer and every distance between two of
// them is 64-bit, so lines, tokens and runs of blanks of any length work.
// Every scan stops at a NUL, and the buffer ends in '\n' NUL, so no step
// reaches past the buffer; nothing before a line's first byte is ever read.
#include "hosts/hosts.hpp"

#include <cstdint>
#include <cstring>

#include "hashmap/hashmap.hpp"
#include "kernels/kernels.hpp"
#include "memory/memory.hpp"
#include "run_state/run_state.hpp"

namespace {

// The table takes keys shorter than 2^31 bytes; a longer token cannot be a
// host name and is passed over.
constexpr std::int64_t LONGEST_KEY = INT32_MAX;

// Whether the len bytes at token are exactly the literal text. The lengths
// are compared first, so no byte beyond the token's NUL is read.
template <std::size_t N>
inline bool token_is(const char* token, std::int64_t len, const char (&text)[N]) {
  return len == static_cast<std::int64_t>(N - 1) && std::memcmp(token, text, N - 1) == 0;
}

// host_count is the summary's 32-bit figure; it stops at its maximum rather
// than overflow.
inline void count_host() {
  if (host_count < INT32_MAX) ++host_count;
}

// Names cut from the buffer and queued for storing; see store_pending.
constexpr int NAME_GROUP = 32;

// Names cut from the buffer but not yet stored, in input order. Storing them
// a group at a time lets one hashmap_find_batch call look them all up with
// overlapping cache misses; they are then stored one by one, in order,
// exactly as if each had been stored when it was cut. The names stay valid
// meanwhile: later cuts write only at or beyond the current position.
struct PendingNames {
  MapLookup lookups[NAME_GROUP];
  bool exempt[NAME_GROUP];
  int count;
};

// Looks the pending names up together, then stores, in order, each one the
// table does not hold yet with its host value. A name the lookup did not
// find may have been stored since by an earlier name of the group; the
// table then finds it present. Every name handed to the table and not found
// there is counted; one it fails to store is counted all the same, and in
// lost_names, and a later occurrence is tried again.
void store_pending(PendingNames* pending) {
  hashmap_find_batch(name_table, pending->lookups, pending->count);
  for (int i = 0; i < pending->count; ++i) {
    const MapLookup* lookup = &pending->lookups[i];
    if (lookup->entry != nullptr) continue;
    const MapValue value = host_value(pending->exempt[i]);
    const MapAdd result = hashmap_add_looked_up(name_table, lookup, &value);
    if (result == MapAdd::present) continue;
    if (result == MapAdd::not_stored) ++lost_names;
    count_host();
  }
  pending->count = 0;
}

// Queues the len-byte name at name (NUL at name[len]) with its exempt flag;
// stores the group when it is full. A name too long to be a key
// (LONGEST_KEY) is no host name and is dropped here, before anything is
// looked up or counted.
inline void queue_name(PendingNames* pending, const char* name, std::int64_t len, bool exempt) {
  if (len > LONGEST_KEY) return;
  const int i = pending->count;
  pending->lookups[i].key = name;
  pending->lookups[i].len = len;
  pending->exempt[i] = exempt;
  if (++pending->count == NAME_GROUP) store_pending(pending);
}

// Whether the token_len-byte token at token (NUL at token[token_len]) holds
// a dot that is not its first byte.
inline bool has_inner_dot(const char* token, std::int64_t token_len) {
  const std::int64_t dot = find_dot(token);
  return dot > 0 && dot < token_len;
}

// The exempt flag of an address line whose first token is the token_len
// bytes at token, or -1 when the token is none of the accepted addresses.
inline int address_exempt_flag(const char* token, std::int64_t token_len) {
  if (token_is(token, token_len, "0.0.0.0")) return 0;
  if (token_is(token, token_len, "1.1.1.1")) return 1;
  if (token_is(token, token_len, "127.0.0.1")) return 0;
  return -1;
}

// Queues the names of the list that starts at name, up to a NUL (the end of
// the line's trimmed text among them), a token that begins with '#', or
// next_line.
inline void store_name_list(PendingNames* pending, char* name, const char* next_line, bool exempt) {
  while (*name != '\0' && *name != '#' && name < next_line) {
    const std::int64_t name_len = find_blank(name);
    name[name_len] = '\0';
    char* next_name = name + name_len + 1;
    next_name += skip_blanks(next_name);
    lower_case(name, name_len);
    if (!token_is(name, name_len, "localhost")) queue_name(pending, name, name_len, exempt);
    name = next_name;
  }
}

}  // namespace

void parse_hosts_buffer(char* buffer, std::int64_t size) {
  const char* const end = buffer + size;
  char* line = buffer + skip_blanks(buffer);
  if (line >= end) return;  // nothing but blanks
  PendingNames pending;
  pending.count = 0;
  for (;;) {
    // Line end and trailing trim; the trim stops at the line's first byte.
    char* const line_end = line + find_line_end(line);
    std::int64_t trimmed_len = line_end - line;
    while (trimmed_len > 0 && static_cast<unsigned char>(line[trimmed_len - 1]) < 0x21)
      --trimmed_len;
    line[trimmed_len] = '\0';
    // The next line starts at the first token byte or NUL after line_end,
    // which is at most the buffer's final '\n', so next_line is at most the
    // final NUL.
    char* next_line = line_end + 1;
    next_line += skip_blanks(next_line);

    if (*line != '#') {
      const std::int64_t first_len = find_blank(line);  // the line's first token
      line[first_len] = '\0';
      if (first_len == trimmed_len && trimmed_len != 0 && has_inner_dot(line, first_len)) {
        store_name_list(&pending, line, next_line, false);  // a bare-domain line
      } else {
        const int exempt = address_exempt_flag(line, first_len);
        if (exempt >= 0) {
          char* names = line + first_len + 1;
          names += skip_blanks(names);
          store_name_list(&pending, names, next_line, exempt != 0);
        }
      }
    }
    if (next_line >= end) break;
    line = next_line;
  }
  store_pending(&pending);
}

char* input_buffer_new(std::int64_t size) {
  if (size < 0 || size > INT64_MAX - 2) return nullptr;
  return static_cast<char*>(allocate(size + 2, false));
}

void input_buffer_seal(char* buffer, std::int64_t size) {
  buffer[size] = '\n';
  buffer[size + 1] = '\0';
}

char* input_buffer_copy(const void* bytes, std::int64_t size) {
  char* buffer = input_buffer_new(size);
  if (buffer == nullptr) return nullptr;
  if (size > 0) std::memcpy(buffer, bytes, static_cast<std::size_t>(size));
  input_buffer_seal(buffer, size);
  return buffer;
}
