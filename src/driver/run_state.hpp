// The run's state: process-wide variables, zero or null at start. The driver
// creates and closes them; the parser adds names to name_table and counts
// them in host_count; the zone emitter reads name_table, writes zone_file and
// counts its lines in zone_count. Single-threaded: plain variables.
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
