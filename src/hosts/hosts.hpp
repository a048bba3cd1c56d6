// The hosts-list parser: turns one input list, held whole in memory, into
// entries of name_table.
//
// Input buffer: buffer[0..size-1] are the file's bytes (any values, NUL
// included), buffer[size] is '\n' and buffer[size + 1] is NUL. The parser
// splits it in place (NUL bytes behind lines and tokens, lower-cased names)
// and allocates nothing itself; the table copies every stored name, so
// nothing refers into the buffer after the call.
//
// Grammar, per line (a line ends at '\n' or NUL; bytes 0x01..0x20 are
// blanks, 0x21..0xff token bytes):
//   - '#' as the first byte: a comment;
//   - one token holding a dot that is not its first byte: a bare domain;
//   - first token exactly "0.0.0.0" or "127.0.0.1" (exempt 0) or "1.1.1.1"
//     (exempt 1): the following tokens are names, up to the end of the line
//     or a token that begins with '#';
//   - anything else is ignored.
// Names are lower-cased (A-Z only); "localhost" is never stored. A name's
// first occurrence fixes its exempt flag. Every new name is stored with its
// host value (host_value in run_state.hpp: kind 1, the flag in the first
// payload byte, the other seven zero) and counted in host_count; a name
// the table fails to store is counted all the same and added to lost_names,
// and a later occurrence is tried again.
//
// Sizes: positions and lengths are 64-bit, and every offset within the
// buffer fits std::ptrdiff_t (the allocator hands out no block larger than
// PTRDIFF_MAX bytes), so a line, a token or a run of blanks may be as long as
// the buffer. Where pointers have 64 bits, ones of 2^31 bytes or more parse
// like short ones; where they have 32 bits, the buffer, and with it every
// line, is shorter than 2^31 bytes. A name token of 2^31 bytes or more
// (beyond what the table takes as a key, and no host name) is passed over.
// host_count stops at INT32_MAX instead of overflowing.
//
// Reads: only the bytes buffer[0..size + 1], apart from the scanners' aligned
// 16-byte reads (kernels/kernels.hpp); writes only within buffer[0..size].
//
// Uses the run state name_table (must exist), host_count and lost_names.
// Not reentrant.
#pragma once

#include <cstdint>

void parse_hosts_buffer(char* buffer, std::int64_t size);

// Input buffers, the one way to lay one out. Each is a guarded block of
// size + 2 bytes owned by the caller, who releases it with deallocate.

// A block for an input of size bytes (size >= 0), uninitialised: the caller
// fills buffer[0..size-1] and then calls input_buffer_seal. Null for a
// negative size or want of memory.
char* input_buffer_new(std::int64_t size);

// Writes the '\n' at buffer[size] and the NUL at buffer[size + 1].
void input_buffer_seal(char* buffer, std::int64_t size);

// A sealed input buffer holding a copy of the size bytes at bytes (which may
// be null when size is 0). Null for a negative size or want of memory.
char* input_buffer_copy(const void* bytes, std::int64_t size);
