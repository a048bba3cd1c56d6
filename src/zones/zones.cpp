// The zone emitter: walks name_table bucket by bucket and writes a
// local-zone line for every name that is neither exempt, nor covered by a
// listed parent, nor unloadable by the resolver. Contracts in zones.hpp.
#include "zones/zones.hpp"

#include <cassert>
#include <cstdio>
#include <cstring>

#include "hashmap/hashmap.hpp"
#include "run_state/run_state.hpp"

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

// Writes the zone line of a name of len bytes with a single stdio call: the
// same bytes as the line format, without parsing a format string per line.
// Precondition: the name is loadable (zone_name_is_loadable), which bounds
// len by MAX_NAME_LEN + 1 and so the line by the stack buffer below.
void write_zone_line(const char* name, std::int64_t len) {
  assert(len >= 0 && len <= MAX_NAME_LEN + 1);
  char line[MAX_LINE_LEN];
  const auto name_len = static_cast<std::size_t>(len);
  std::memcpy(line, LINE_HEAD, HEAD_LEN);
  std::memcpy(line + HEAD_LEN, name, name_len);
  std::memcpy(line + HEAD_LEN + name_len, LINE_TAIL, TAIL_LEN);
  write_bytes(line, HEAD_LEN + name_len + TAIL_LEN);
}

// The parent candidates of a name, walked from the right: the tail after
// each dot that is not the name's last byte, shortest first. Position len
// holds the NUL, so a final dot starts no candidate; position 0 is never
// examined, so the whole name is never a candidate.
struct CandidateWalk {
  const char* key;    // the name, NUL at key[len]
  std::int64_t len;   // its length, at least 1
  std::int64_t p;     // the next position to examine, counting down to 1
  std::int32_t seen;  // candidates passed so far, searched or not
};

CandidateWalk candidate_walk(const char* key, std::int64_t len) {
  return CandidateWalk{key, len, len - 1, 0};
}

// Whether the parent candidate number `seen` (0 for the last label) of
// tail_len bytes is looked up: the first never, the second only when it is
// 7 bytes or longer, every later one always.
inline bool candidate_is_searched(std::int32_t seen, std::int64_t tail_len) {
  return seen >= 2 || (seen == 1 && tail_len >= 7);
}

// Moves the walk to the next candidate that is looked up and returns true
// with it in *tail (a pointer into the name, ended by the name's NUL) and
// *tail_len; false when no candidate is left, walk->seen then being the
// number of candidates the name has (0: no dot other than a final one).
// The one place the coverage rule is written: the coverage decision and
// the cache warmer both walk the candidates through it.
inline bool next_searched_candidate(CandidateWalk* walk, const char** tail,
                                    std::int64_t* tail_len) {
  for (; walk->p >= 1; --walk->p) {
    if (walk->key[walk->p - 1] != '.') continue;
    const std::int64_t n = walk->len - walk->p;
    const bool searched = candidate_is_searched(walk->seen, n);
    ++walk->seen;
    if (searched) {
      *tail = walk->key + walk->p;
      *tail_len = n;
      --walk->p;
      return true;
    }
  }
  return false;
}

// Whether a name of n bytes (n >= 1) is covered: one of its looked-up
// candidates is in name_table. Otherwise false, with *candidates holding the
// number of candidates the name has.
bool is_covered(const char* key, std::int64_t n, std::int32_t* candidates) {
  CandidateWalk walk = candidate_walk(key, n);
  const char* tail = nullptr;
  std::int64_t tail_len = 0;
  while (next_searched_candidate(&walk, &tail, &tail_len)) {
    if (hashmap_get(name_table, tail, tail_len) != nullptr) return true;
  }
  *candidates = walk.seen;
  return false;
}

// Whether the entry can get a line at all, before its candidates are
// looked at: a non-empty name that is not exempt. An exempt entry never gets
// a line, and since the candidate walk only decides about the entry's own
// line, its candidates are never looked up.
inline bool may_be_written(const MapEntry* entry) {
  return entry->key_len >= 1 && entry->value.payload.bytes[0] == 0;
}

// The decision for one entry; writes its line when it gets one.
void emit_entry(const MapEntry* entry) {
  if (!may_be_written(entry)) return;
  const std::int64_t n = entry->key_len;
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
  if (!may_be_written(entry)) return;
  CandidateWalk walk = candidate_walk(entry->key, entry->key_len);
  for (int taken = 0;
       taken < CANDIDATES_PER_ENTRY && next_searched_candidate(&walk, &keys[*n], &lens[*n]);
       ++taken) {
    ++*n;
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
  const std::uint32_t count = hashmap_count(name_table);
  for (std::uint64_t slot = 1; slot <= count; ++slot)
    emit_tree(hashmap_root(name_table, slot));
}
