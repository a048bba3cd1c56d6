// The run's state: process-wide variables, zero or null at start, shared by
// the stages of one conversion. The driver owns their lifecycle: it creates
// name_table and opens zone_file before the first input and closes both at
// the end. The parser looks names up in name_table, adds new ones and counts
// them in host_count (and lost_names); the zone emitter reads name_table,
// writes zone_file and counts its lines in zone_count.
//
// Depends on the hash map only, so the parser and the emitter, which sit
// above it, never reach into the driver. Single-threaded: plain variables.
#pragma once

#include <cstdint>
#include <cstdio>

#include "hashmap/hashmap.hpp"

// Bucket count of name_table.
constexpr std::uint32_t BUCKET_COUNT = 65535;

extern HashMap* name_table;      // the run's host names, kind-1 values (exempt flag)
extern std::FILE* zone_file;     // the fragment being written
extern std::FILE* hosts_file;    // the input list being read
extern std::int32_t host_count;  // distinct names handed to the table
extern std::int32_t zone_count;  // zone lines written

// Names the parser could not store for want of memory. A run that lost a
// name must not replace the previous fragment with an incomplete one.
extern std::int64_t lost_names;

// Sets every variable back to zero or null. Owns nothing: whatever the
// pointers held must have been released or closed by their owner first.
void run_state_reset();
