// The zone emitter: walks name_table bucket by bucket and writes a
// local-zone line for every name that is neither exempt, nor covered by a
// listed parent, nor unloadable by the resolver. Contracts in zones.hpp.
#include "zones/zones.hpp"

#include <cassert>
#include <cstdio>
#include <cstring>

#include "hashmap/hashmap.hpp"
#include "kernels/kernels.hpp"
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
// left in the stream's error flag. glibc declares fwrite_unlocked only with
// _DEFAULT_SOURCE in effect (not under a strict -D_POSIX_C_SOURCE=...).
inline void write_bytes(const char* bytes, std::size_t len) {
#if defined(__GLIBC__) && defined(_DEFAULT_SOURCE)
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
// each dot that is not the name's last byte, shortest first. The last byte
// is never examined, so a final dot starts no candidate; a dot at position
// 0 starts one (the name without its first byte), and the whole name is
// never a candidate.
struct CandidateWalk {
  const char* key;        // the name, NUL at key[len]
  std::int64_t len;       // its length, at least 1
  std::int64_t unwalked;  // the dots not yet passed lie in key[0..unwalked-1]
  std::int32_t seen;      // candidates passed so far, searched or not
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
// The dots are found 16 bytes a step (find_last_dot).
// The one place the coverage rule is written: every lookup of the
// emitter's batches takes its candidate from it.
inline bool next_searched_candidate(CandidateWalk* walk, const char** tail,
                                    std::int64_t* tail_len) {
  for (;;) {
    const std::int64_t dot = find_last_dot(walk->key, walk->unwalked);
    if (dot < 0) {
      walk->unwalked = 0;
      return false;
    }
    const std::int64_t candidate_len = walk->len - (dot + 1);
    const bool searched = candidate_is_searched(walk->seen, candidate_len);
    ++walk->seen;
    walk->unwalked = dot;
    if (searched) {
      *tail = walk->key + dot + 1;
      *tail_len = candidate_len;
      return true;
    }
  }
}

// Whether the entry can get a line at all, before its candidates are
// looked at: a non-empty name that is not exempt. An exempt entry never gets
// a line, and since the candidate walk only decides about the entry's own
// line, its candidates are never looked up.
inline bool may_be_written(const MapEntry* entry) {
  return entry->key_len >= 1 && !host_is_exempt(entry->value);
}

// Entries decided together, their candidate lookups batched.
constexpr int ENTRY_GROUP = 128;

// An entry of the walk not yet decided, and where its candidate walk stands.
struct PendingEntry {
  const MapEntry* entry;
  CandidateWalk walk;
  bool walking;  // may be written, and neither covered nor out of candidates
  bool covered;  // one of its searched candidates is in name_table
};

// Entries of the post-order walk not yet decided, in walk order. Deciding
// them a group at a time lets one hashmap_find_batch call answer a candidate
// lookup of each of them with overlapping cache misses; they are then
// written one by one, in order, so the output is the same as deciding each
// when the walk reaches it.
struct PendingEntries {
  PendingEntry entries[ENTRY_GROUP];
  int count;
};

// Decides coverage for the pending entries in rounds. Each round looks up
// the next searched candidate of every entry still walking, all in one
// batch; an entry stops at its first candidate found (covered) or when it
// has no candidate left. So every entry looks up exactly the candidates a
// walk of its own, stopping at the first hit, would.
void decide_coverage(PendingEntries* pending) {
  MapLookup lookups[ENTRY_GROUP];
  PendingEntry* asking[ENTRY_GROUP];
  for (;;) {
    int asked = 0;
    for (int i = 0; i < pending->count; ++i) {
      PendingEntry& walking = pending->entries[i];
      if (!walking.walking) continue;
      MapLookup& lookup = lookups[asked];
      if (next_searched_candidate(&walking.walk, &lookup.key, &lookup.len)) {
        asking[asked++] = &walking;
      } else {
        walking.walking = false;
      }
    }
    if (asked == 0) return;
    hashmap_find_batch(name_table, lookups, asked);
    for (int i = 0; i < asked; ++i) {
      if (lookups[i].entry == nullptr) continue;
      asking[i]->covered = true;
      asking[i]->walking = false;
    }
  }
}

// Writes the line of a decided entry when it gets one: it may be written, is
// not covered, has at least one candidate (a dot other than a final one),
// and is loadable.
void emit_entry(const PendingEntry& decided) {
  const MapEntry* entry = decided.entry;
  if (!may_be_written(entry) || decided.covered || decided.walk.seen == 0) return;
  if (!zone_name_is_loadable(entry->key, entry->key_len)) return;
  write_zone_line(entry->key, entry->key_len);
  ++zone_count;
}

// Decides the pending entries, then writes their lines in order.
void emit_pending(PendingEntries* pending) {
  decide_coverage(pending);
  for (int i = 0; i < pending->count; ++i)
    emit_entry(pending->entries[i]);
  pending->count = 0;
}

// Queues entry for its decision; decides the group when it is full.
void queue_entry(PendingEntries* pending, const MapEntry* entry) {
  PendingEntry& queued = pending->entries[pending->count];
  queued.entry = entry;
  queued.walk = candidate_walk(entry->key, entry->key_len);
  queued.walking = may_be_written(entry);
  queued.covered = false;
  if (++pending->count == ENTRY_GROUP) emit_pending(pending);
}

// The per-tree step: queues the entries of the tree at entry (may be null)
// in post-order. Entries are decided and written a group at a time, in
// queue order, so trees queued one after the other come out as if each had
// been written alone, in the same order.
void queue_tree(PendingEntries* pending, const MapEntry* entry) {
  // Recursion as deep as the bucket tree, which is AVL-balanced.
  if (entry == nullptr) return;
  queue_tree(pending, entry->left);
  queue_tree(pending, entry->right);
  queue_entry(pending, entry);
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
  PendingEntries pending;
  pending.count = 0;
  queue_tree(&pending, entry);
  emit_pending(&pending);
}

void emit_zones() {
  // One queue for all trees: a bucket tree holds a dozen entries, and the
  // candidate lookups of a whole group of entries overlap their misses
  // better than those of one tree.
  PendingEntries pending;
  pending.count = 0;
  const std::uint32_t count = hashmap_count(name_table);
  for (std::uint64_t slot = 1; slot <= count;) {
    // The trees of a group are warmed together before their walk.
    const std::uint64_t group_end = hashmap_warm_trees(name_table, slot);
    for (; slot < group_end; ++slot)
      queue_tree(&pending, hashmap_root(name_table, slot));
  }
  emit_pending(&pending);
}
