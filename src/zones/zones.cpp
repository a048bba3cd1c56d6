// The zone emitter: walks name_table bucket by bucket and writes a
// local-zone line for every name that is neither exempt, nor covered by a
// listed parent, nor unloadable by the resolver. Contracts in zones.hpp.
#include "zones/zones.hpp"

#include <cstdio>
#include <cstring>

#include "driver/run_state.hpp"

namespace {

// The line is "local-zone: \"NAME\" static\n", assembled from three pieces.
constexpr char LINE_HEAD[] = "local-zone: \"";
constexpr char LINE_TAIL[] = "\" static\n";
constexpr std::size_t HEAD_LEN = sizeof(LINE_HEAD) - 1;
constexpr std::size_t TAIL_LEN = sizeof(LINE_TAIL) - 1;

// Longest name the resolver accepts: 253 bytes, one more for a final dot.
constexpr std::int64_t MAX_NAME_LEN = 253;
constexpr std::int64_t MAX_LABEL_LEN = 63;

// Only loadable names are written, so a line never exceeds this.
constexpr std::size_t MAX_LINE_LEN = HEAD_LEN + (MAX_NAME_LEN + 1) + TAIL_LEN;

// Writes bytes to zone_file. The emitter is the stream's only user while it
// runs, so where stdio offers an unlocked write it is used; the result is
// left in the stream's error flag.
inline void write_bytes(const char* bytes, std::size_t len) {
#if defined(__GLIBC__)
  fwrite_unlocked(bytes, 1, len, zone_file);
#else
  std::fwrite(bytes, 1, len, zone_file);
#endif
}

// Writes the zone line of a name of len bytes (len <= MAX_NAME_LEN + 1) with
// a single stdio call: the same bytes as the line format, without parsing a
// format string per line.
void write_zone_line(const char* name, std::int64_t len) {
  char line[MAX_LINE_LEN];
  const auto name_len = static_cast<std::size_t>(len);
  std::memcpy(line, LINE_HEAD, HEAD_LEN);
  std::memcpy(line + HEAD_LEN, name, name_len);
  std::memcpy(line + HEAD_LEN + name_len, LINE_TAIL, TAIL_LEN);
  write_bytes(line, HEAD_LEN + name_len + TAIL_LEN);
}

// Walks the parent candidates of key (n bytes, n >= 1) from the right: the
// tail after each dot that is not the last byte, shortest first. The first
// candidate is never looked up, the second only when it is 7 bytes or
// longer, every later one always. Returns true when a looked-up candidate is
// in name_table (the name is covered); otherwise false, with *candidates
// holding the number of candidates seen (0: the name has no dot other than
// as its last byte).
bool is_covered(const char* key, std::int64_t n, std::int32_t* candidates) {
  std::int32_t count = 0;
  // Position n holds the NUL, so a final dot starts no candidate; position 0
  // is never examined, so the whole name is never a candidate.
  for (std::int64_t p = n - 1; p >= 1; --p) {
    if (key[p - 1] != '.') continue;
    const std::int64_t tail_len = n - p;
    if ((count >= 2 || (count == 1 && tail_len >= 7)) &&
        hashmap_get(name_table, key + p, tail_len) != nullptr) {
      return true;
    }
    ++count;
  }
  *candidates = count;
  return false;
}

// The decision for one entry; writes its line when it gets one.
void emit_entry(const MapEntry* entry) {
  const std::int64_t n = entry->key_len;
  if (n < 1) return;
  // An exempt entry never gets a line; since the candidate walk only decides
  // about this entry's own line, it can be skipped too.
  if (entry->value.payload.bytes[0] != 0) return;
  std::int32_t candidates = 0;
  if (is_covered(entry->key, n, &candidates) || candidates == 0) return;
  if (!zone_name_is_loadable(entry->key, n)) return;
  write_zone_line(entry->key, n);
  ++zone_count;
}

}  // namespace

bool zone_name_is_loadable(const char* name, std::int64_t len) {
  if (len < 1) return false;
  const bool final_dot = name[len - 1] == '.';
  if (len > MAX_NAME_LEN + (final_dot ? 1 : 0)) return false;
  // A final dot ends the last label; it is not an empty label after it.
  const std::int64_t end = final_dot ? len - 1 : len;
  std::int64_t label_len = 0;
  for (std::int64_t i = 0; i < end; ++i) {
    const char c = name[i];
    if (c == '.') {
      if (label_len == 0) return false;  // leading dot or ".."
      label_len = 0;
      continue;
    }
    if (c == '"' || c == '\\') return false;
    if (++label_len > MAX_LABEL_LEN) return false;
  }
  // The last label: empty only for the name "." itself (end 0), or for a
  // name ending in "..", whose inner dot was seen above with label_len 0.
  return label_len > 0;
}

void emit_tree(const MapEntry* entry) {
  // Recursion as deep as the bucket tree, which is AVL-balanced.
  if (entry == nullptr) return;
  // The right child and this entry's key are fetched while the left subtree
  // is walked; a prefetch of a null child does nothing.
  __builtin_prefetch(entry->right);
  __builtin_prefetch(entry->key);
  emit_tree(entry->left);
  emit_tree(entry->right);
  emit_entry(entry);
}

void emit_zones() {
  const std::uint32_t count = hashmap_count(name_table);
  for (std::uint64_t slot = 1; slot <= count; ++slot)
    emit_tree(*hashmap_slot(name_table, slot));
}
