// The zone emitter: writes one line "local-zone: \"NAME\" static\n" to
// zone_file for every name of name_table that has a dot other than as its
// last byte, is not exempt, is not covered by a listed parent, and is a name
// the resolver can load; counts the lines in zone_count.
//
// Order: bucket slots 1..count in increasing order, each bucket tree in
// post-order (left subtree, right subtree, entry).
//
// Coverage: the parent candidates of a name are its tails after each dot,
// shortest first. The first candidate (the last label) is never looked up,
// the second (a two-label tail) only when it is 7 bytes or longer, every
// later one always; a candidate present in the table covers the name,
// whatever its own flag. Names that fail the resolver-safety rule are not
// written but still cover their subdomains.
//
// Reads name_table (keys hold no NUL before key_len), writes zone_file, adds
// to zone_count. Allocates nothing; write errors are left in the stream's
// error flag for the driver to check.
#pragma once

#include <cstdint>

#include "hashmap/hashmap.hpp"

// Writes the lines of the whole table: the bucket trees of slots 1 to the
// last, in this order, each by emit_tree's per-tree step. The trees share
// one queue of entries awaiting their decision, so that the candidate
// lookups of many trees are batched together; the lines are the same, in
// the same order, as those of emit_tree on each root in turn.
void emit_zones();

// Writes the lines of one bucket tree (entry may be null), in post-order.
// Candidates are looked up in name_table, which must hold the tree.
void emit_tree(const MapEntry* entry);

// True when name (len bytes) can stand in a local-zone line that the
// resolver accepts: no '"' or '\\', no empty label (no leading '.', no ".."),
// no label over 63 bytes, and at most 253 bytes (254 with a final '.').
bool zone_name_is_loadable(const char* name, std::int64_t len);
