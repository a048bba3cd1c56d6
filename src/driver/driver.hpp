// The conversion driver: `hostzones OUTPUT INPUT...`.
//
// Reads every input whole into a guarded buffer and parses it into
// name_table, writes the zone lines, prints the summary
// "Number of Hosts: %d\nNumber of Zones: %d\n" on standard output and returns
// the exit status: 0 when at least one zone line was written and the output
// was completely written and committed, 1 otherwise. Nothing is ever written
// to standard error.
//
// A regular-file output (or a missing path, or a link to one) is replaced
// atomically: the lines go to a temporary file beside the target, which is
// synced and renamed over it only when every write succeeded; any failure
// leaves the previous fragment byte for byte as it was (see output.hpp).
//
// Status 1 with nothing printed: fewer than two arguments, an output that
// cannot be opened, or no memory for the name table or an input buffer.
// Status 1 with the summary: a name lost for want of memory, a failed write,
// sync, close or rename, or no zone line. With status 1 an existing fragment
// is always left byte for byte as it was; a run without a zone line creates
// an empty fragment only where none existed.
#pragma once

#include <cstdint>

// Size in bytes of the input list at path as stat reports it, or -1 when the
// list is not to be read: stat fails, or path names something other than a
// regular file (a link counts as the file it leads to). Directories are
// refused because some systems let read() return their raw entries, which
// would turn file names into zones; FIFOs and devices because their size
// says nothing about what they hold. File sizes are 64-bit on every
// platform, so a list of 2 GiB or more is measured, never skipped.
std::int64_t input_size(const char* path);

// The whole run, with main's arguments. Resets the run state first and
// leaves no guarded block allocated when it returns, so it can be called
// again in the same process.
int run_conversion(int argc, char** argv);
