// The output fragment, written so that a failed run never damages the
// previous one.
//
// Two ways of writing, chosen by output_open from what the path names:
//  - Replacement, when the output is or will be a regular file (a missing
//    path, a regular file, or a chain of symbolic links ending in either):
//    the lines go to a temporary file ".NAME.hostzones-XXXXXX" created with
//    mkstemp in the directory of the final target (the last link of the
//    chain is followed, so a linked fragment stays a link). It gets the
//    existing file's permission bits and, best effort, its owner and group,
//    or 0666 less the umask for a new file. output_commit renames it over the
//    target only when every write, the flush, fsync and the close succeeded;
//    otherwise, and in output_abandon, the temporary file is removed and the
//    target is left byte for byte as it was.
//  - Direct, for everything else (a FIFO, a character device such as
//    /dev/null or /dev/full, and every path that is or leads into /dev/ or
//    /proc/, among them /dev/stdout): the path is opened with fopen "w" and
//    written in place; output_commit still reports a write, flush or close
//    failure. A direct path that names the regular file standard output
//    writes to (/dev/stdout, /dev/fd/1 or /proc/self/fd/1 under "> file" or
//    ">> file") is not reopened: reopening would truncate it and write from
//    its own offset, so that the summary, printed later through descriptor
//    1, would overwrite the first lines. The lines go through a duplicate of
//    descriptor 1 instead, which shares its offset and append mode, and the
//    summary follows them.
//
// While a temporary file exists, an atexit handler removes it, so that a
// fatal exit of the allocator does not leave it behind; only a kill can.
//
// Ownership: an OutputFile owns its stream, its stdio buffer and its path
// blocks (all guarded blocks) from a successful output_open until
// output_commit or output_abandon, which release everything and leave the
// struct zeroed. Single-threaded.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>

// Size of the stdio buffer of the output stream: a million lines cost a few
// dozen write calls.
constexpr std::int64_t OUTPUT_BUFFER_SIZE = std::int64_t{1} << 20;

struct OutputFile {
  std::FILE* stream;   // where the lines go: the temporary file, or the path itself
  char* buffer;        // the stream's stdio buffer (OUTPUT_BUFFER_SIZE bytes)
  char* target_path;   // replacement: the final target (links followed); null when direct
  char* temp_path;     // replacement: the temporary file; null when direct or gone
  char* directory;     // replacement: the directory of the target, for its fsync
  bool target_exists;  // replacement: the target existed when the output was opened
};

// Opens the output named by path (NUL-terminated, not null). True: out holds
// an open stream. False: the output cannot be opened (no such directory, a
// directory as the output, an existing output that cannot be opened for
// writing, a directory in which the temporary file cannot be created, too
// many links, or no memory); nothing is left behind and out is zeroed.
bool output_open(OutputFile* out, const char* path);

// Finishes the output: flushes, syncs and closes the stream and, when
// replacing, renames the temporary file over the target and syncs the
// directory (best effort). True only when every step succeeded and the new
// content is in place. On false, a replaced target is as it was before and
// the temporary file is gone. Releases everything; out is zeroed.
bool output_commit(OutputFile* out);

// Closes the stream and removes the temporary file without touching the
// target. A direct output keeps what was written to it. Releases everything;
// out is zeroed. Safe on a zeroed OutputFile.
void output_abandon(OutputFile* out);
