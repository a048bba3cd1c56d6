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

// Whether the parent candidate number `seen` (0 for the last label) of
// tail_len bytes is looked up: the first never, the second only when it is
// 7 bytes or longer, every later one always.
inline bool candidate_is_searched(std::int32_t seen, std::int64_t tail_len) {
  return seen >= 2 || (seen == 1 && tail_len >= 7);
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
    if (candidate_is_searched(count, tail_len) &&
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

namespace {

// Most searched candidates one entry contributes to a warm-up; a name with
// more has its longest ones left cold (they are looked up all the same).
constexpr int CANDIDATES_PER_ENTRY = 4;

// Entries of the post-order walk not yet decided, in walk order. Deciding
// them a group at a time lets one hashmap_prefetch_batch call overlap the
// cache misses of all their candidate lookups; they are then decided and
// written one by one, in order, so the output is the same as deciding each
// when the walk reaches it.
struct PendingEntries {
  const MapEntry* entries[HASHMAP_PREFETCH_GROUP];
  int count;
};

// Adds to keys/lens (from *n on) the candidates of entry that is_covered
// would look up, shortest first, at most CANDIDATES_PER_ENTRY of them.
void collect_candidates(const MapEntry* entry, const char** keys, std::int64_t* lens, int* n) {
  const std::int64_t len = entry->key_len;
  if (len < 1 || entry->value.payload.bytes[0] != 0) return;  // never searched
  const char* key = entry->key;
  std::int32_t count = 0;
  int taken = 0;
  for (std::int64_t p = len - 1; p >= 1 && taken < CANDIDATES_PER_ENTRY; --p) {
    if (key[p - 1] != '.') continue;
    const std::int64_t tail_len = len - p;
    if (candidate_is_searched(count, tail_len)) {
      keys[*n] = key + p;
      lens[*n] = tail_len;
      ++*n;
      ++taken;
    }
    ++count;
  }
}

// Warms the pending entries' candidate lookups, then decides them in order.
void emit_pending(PendingEntries* pending) {
  const char* keys[HASHMAP_PREFETCH_GROUP * CANDIDATES_PER_ENTRY];
  std::int64_t lens[HASHMAP_PREFETCH_GROUP * CANDIDATES_PER_ENTRY];
  int n = 0;
  for (int i = 0; i < pending->count; ++i)
    collect_candidates(pending->entries[i], keys, lens, &n);
  hashmap_prefetch_batch(name_table, keys, lens, n);
  for (int i = 0; i < pending->count; ++i)
    emit_entry(pending->entries[i]);
  pending->count = 0;
}

// Post-order walk of the tree at entry, queueing every entry for emit_entry.
void queue_tree(PendingEntries* pending, const MapEntry* entry) {
  // Recursion as deep as the bucket tree, which is AVL-balanced.
  if (entry == nullptr) return;
  // The right child and this entry's key are fetched while the left subtree
  // is walked; a prefetch of a null child does nothing.
  __builtin_prefetch(entry->right);
  __builtin_prefetch(entry->key);
  queue_tree(pending, entry->left);
  queue_tree(pending, entry->right);
  pending->entries[pending->count] = entry;
  if (++pending->count == HASHMAP_PREFETCH_GROUP) emit_pending(pending);
}

}  // namespace

void emit_tree(const MapEntry* entry) {
  PendingEntries pending;
  pending.count = 0;
  queue_tree(&pending, entry);
  emit_pending(&pending);
}

void emit_zones() {
  // One queue across the buckets: groups do not wait for a bucket's end.
  PendingEntries pending;
  pending.count = 0;
  const std::uint32_t count = hashmap_count(name_table);
  for (std::uint64_t slot = 1; slot <= count; ++slot)
    queue_tree(&pending, *hashmap_slot(name_table, slot));
  emit_pending(&pending);
}
