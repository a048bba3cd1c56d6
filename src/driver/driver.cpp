// The conversion driver (see driver.hpp).
#include "driver/driver.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "driver/phase_hooks.hpp"
#include "hashmap/hashmap.hpp"
#include "hosts/hosts.hpp"
#include "memory/memory.hpp"
#include "output/output.hpp"
#include "run_state/run_state.hpp"
#include "zones/zones.hpp"

namespace {

// Inputs whose reported size is below this are skipped in silence.
constexpr std::int64_t MIN_INPUT_SIZE = 4;

// Reads the input at path whole into a guarded buffer of size + 2 bytes (the
// file's bytes, a newline, a NUL) and parses it into name_table. A path that
// cannot be examined or opened or is no regular file (input_size), a size
// below MIN_INPUT_SIZE and a read that delivers less than the size stat
// reported all skip the input in silence. False only when the buffer cannot
// be allocated: the run cannot be complete.
bool convert_input(const char* path) {
  const std::int64_t size = input_size(path);
  if (size < MIN_INPUT_SIZE) return true;
  hosts_file = std::fopen(path, "r");
  if (hosts_file == nullptr) return true;
  char* buffer = input_buffer_new(size);
  if (buffer == nullptr) {
    // An input is only read: closing it cannot lose anything.
    (void)std::fclose(hosts_file);
    hosts_file = nullptr;
    return false;
  }
  if (std::fread(buffer, static_cast<std::size_t>(size), 1, hosts_file) == 1) {
    phase_done(RunPhase::read);
    input_buffer_seal(buffer, size);
    parse_hosts_buffer(buffer, size);
    phase_done(RunPhase::parse);
  }
  deallocate(&buffer, false);
  (void)std::fclose(hosts_file);
  hosts_file = nullptr;
  phase_done(RunPhase::read);
  return true;
}

// Ends a run that cannot produce a complete fragment before any line was
// written: nothing is printed and the previous fragment stays.
int abort_run(OutputFile* output) {
  hashmap_destroy(name_table);
  name_table = nullptr;
  output_abandon(output);
  zone_file = nullptr;
  return 1;
}

}  // namespace

std::int64_t input_size(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

int run_conversion(int argc, char** argv) {
  run_state_reset();
  if (argc < 3) return 1;
  phases_begin();

  OutputFile output{};
  if (!output_open(&output, argv[1])) return 1;
  zone_file = output.stream;

  name_table = hashmap_create(BUCKET_COUNT);
  if (name_table == nullptr) return abort_run(&output);

  for (int i = 2; i < argc; ++i) {
    if (!convert_input(argv[i])) return abort_run(&output);
  }

  phase_done(RunPhase::read);
  emit_zones();
  phase_done(RunPhase::emit);
  hashmap_destroy(name_table);
  name_table = nullptr;
  phase_done(RunPhase::destroy);

  // A name lost for want of memory would be missing from the fragment: keep
  // the previous one instead of committing an incomplete one. A run without
  // a zone line keeps an existing fragment too, so that status 1 always
  // means the previous fragment is untouched; only where none exists is the
  // empty one created.
  const bool complete = lost_names == 0;
  const bool keeps_previous = zone_count == 0 && output.target_exists;
  bool committed = false;
  if (complete && !keeps_previous) {
    committed = output_commit(&output);
  } else {
    output_abandon(&output);
  }
  zone_file = nullptr;
  phase_done(RunPhase::commit);

  std::printf("Number of Hosts: %d\nNumber of Zones: %d\n", static_cast<int>(host_count),
              static_cast<int>(zone_count));
  // The summary is informational; the status reports the fragment alone.
  (void)std::fflush(stdout);
  return zone_count >= 1 && committed ? 0 : 1;
}
