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
static_assert(NAME_GROUP <= 32, "store_pending keeps one bit per name in 32 bits");

// Names cut from the buffer but not yet stored, in input order. Storing them
// a group at a time lets one hashmap_find_batch call look them all up with
// overlapping cache misses; they are then stored one by one, in order,
// exactly as if each had been stored when it was cut. The names stay valid
// meanwhile: later cuts write only at or beyond the current position.
struct PendingNames {
  MapLookup lookups[NAME_GROUP];
  unsigned char exempt[NAME_GROUP];
  int count;
};

// The names of a group handed to the table so far: bit j for name j, and
// bit slot % 64 for the root slot of each, a filter that answers most
// questions of stored_since_lookup without a look at the names.
struct StoredNames {
  std::uint32_t names;
  std::uint64_t slots;
};

// Whether name i of the group may have been stored since the group was
// looked up: only by an earlier name of the group with the same key, and so
// in the same root slot, that was handed to the table.
bool stored_since_lookup(const PendingNames* pending, const StoredNames& stored, int i) {
  const std::uint64_t slot = pending->lookups[i].slot;
  if (((stored.slots >> (slot % 64)) & 1u) == 0) return false;
  for (int j = 0; j < i; ++j) {
    if (((stored.names >> j) & 1u) != 0 && pending->lookups[j].slot == slot) return true;
  }
  return false;
}

// Looks the pending names up together, then stores, in order, each one the
// table does not hold yet, with its exempt flag: a kind-1 value whose first
// payload byte is the flag. Every name handed to the table is counted; one
// it fails to store is counted all the same, and in lost_names, and a later
// occurrence is tried again.
void store_pending(PendingNames* pending) {
  hashmap_find_batch(name_table, pending->lookups, pending->count);
  StoredNames stored{0, 0};
  for (int i = 0; i < pending->count; ++i) {
    MapLookup* lookup = &pending->lookups[i];
    if (lookup->entry == nullptr && stored_since_lookup(pending, stored, i))
      lookup->entry = hashmap_get(name_table, lookup->key, lookup->len);
    if (lookup->entry != nullptr) continue;
    MapValue value{};
    value.kind = 1;
    value.payload.bytes[0] = pending->exempt[i];
    if (hashmap_put_looked_up(name_table, lookup, &value) == nullptr) ++lost_names;
    count_host();
    stored.names |= 1u << i;
    stored.slots |= std::uint64_t{1} << (lookup->slot % 64);
  }
  pending->count = 0;
}

// Queues the len-byte name at name (NUL at name[len]) with its exempt flag;
// stores the group when it is full. A name too long to be a key
// (LONGEST_KEY) is no host name and is dropped here, before anything is
// looked up or counted.
inline void queue_name(PendingNames* pending, const char* name, std::int64_t len,
                       unsigned char exempt) {
  if (len > LONGEST_KEY) return;
  const int i = pending->count;
  pending->lookups[i] = MapLookup{name, len, 0, nullptr, 0};
  pending->exempt[i] = exempt;
  if (++pending->count == NAME_GROUP) store_pending(pending);
}

// Whether the k-byte token at token (NUL at token[k]) holds a dot that is
// not its first byte.
inline bool has_inner_dot(const char* token, std::int64_t k) {
  const std::int64_t d = find_dot(token);
  return d > 0 && d < k;
}

// The exempt flag of an address line whose first token is the k bytes at
// token, or -1 when the token is none of the accepted addresses.
inline int address_exempt_flag(const char* token, std::int64_t k) {
  if (token_is(token, k, "0.0.0.0")) return 0;
  if (token_is(token, k, "1.1.1.1")) return 1;
  if (token_is(token, k, "127.0.0.1")) return 0;
  return -1;
}

// Queues the names of the list that starts at p, up to a NUL (the end of the
// line's trimmed text among them), a token that begins with '#', or next_line.
inline void store_name_list(PendingNames* pending, char* p, const char* next_line,
                            unsigned char exempt) {
  while (*p != '\0' && *p != '#' && p < next_line) {
    const std::int64_t n = find_blank(p);
    p[n] = '\0';
    char* q = p + n + 1;
    q += skip_blanks(q);
    lower_case(p, n);
    if (!token_is(p, n, "localhost")) queue_name(pending, p, n, exempt);
    p = q;
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
    std::int64_t t = line_end - line;
    while (t > 0 && static_cast<unsigned char>(line[t - 1]) < 0x21)
      --t;
    line[t] = '\0';
    // The next line starts at the first token byte or NUL after line_end,
    // which is at most the buffer's final '\n', so next_line is at most the
    // final NUL.
    char* next_line = line_end + 1;
    next_line += skip_blanks(next_line);

    if (*line != '#') {
      const std::int64_t k = find_blank(line);
      line[k] = '\0';
      if (k == t && t != 0 && has_inner_dot(line, k)) {
        store_name_list(&pending, line, next_line, 0);  // a bare-domain line
      } else {
        const int exempt = address_exempt_flag(line, k);
        if (exempt >= 0) {
          char* names = line + k + 1;
          names += skip_blanks(names);
          store_name_list(&pending, names, next_line, static_cast<unsigned char>(exempt));
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
