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

extern HashMap* name_table;      // the run's host names, with host values
extern std::FILE* zone_file;     // the fragment being written
extern std::FILE* hosts_file;    // the input list being read
extern std::int32_t host_count;  // distinct names handed to the table
extern std::int32_t zone_count;  // zone lines written

// Names the parser could not store for want of memory. A run that lost a
// name must not replace the previous fragment with an incomplete one.
extern std::int64_t lost_names;

// Host values: the value stored with every name of name_table, of kind
// HOST_VALUE_KIND, with the name's exempt flag (0 or 1) in the first payload
// byte and zero in the other seven. The parser writes it with host_value,
// the emitter reads the flag with host_is_exempt.
constexpr std::int64_t HOST_VALUE_KIND = 1;

inline MapValue host_value(bool exempt) {
  MapValue value{};
  value.kind = HOST_VALUE_KIND;
  value.payload.bytes[0] = exempt ? 1 : 0;
  return value;
}

inline bool host_is_exempt(const MapValue& value) {
  return value.payload.bytes[0] != 0;
}

// Sets every variable back to zero or null. Owns nothing: whatever the
// pointers held must have been released or closed by their owner first.
void run_state_reset();
