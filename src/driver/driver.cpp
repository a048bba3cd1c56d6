// The conversion driver (see driver.hpp).
#include "driver/driver.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "hashmap/hashmap.hpp"
#include "hosts/hosts.hpp"
#include "memory/memory.hpp"
#include "output/output.hpp"
#include "run_state/run_state.hpp"
#include "zones/zones.hpp"

#if defined(HOSTZONES_PHASE_TIMES)
#include <ctime>
#endif

namespace {

// Phase times, for benchmark builds only (CMake option
// HOSTZONES_PHASE_TIMES): the process's CPU time (user and system; on a
// shared machine steadier than wall time) split into the phases of the run,
// written to standard error at the end as one line "phases: read S parse S
// ...". A normal build compiles every call below to nothing and writes
// nothing.
enum class Phase { read, parse, emit, destroy, commit, count };
#if defined(HOSTZONES_PHASE_TIMES)
struct PhaseClock {
  double seconds[static_cast<int>(Phase::count)];
  timespec mark;
};
PhaseClock phase_clock;

void phase_start() {
  phase_clock = PhaseClock{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &phase_clock.mark);
}

// Adds the time since the last mark to phase, and marks now.
void phase_end(Phase phase) {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  phase_clock.seconds[static_cast<int>(phase)] +=
      static_cast<double>(now.tv_sec - phase_clock.mark.tv_sec) +
      static_cast<double>(now.tv_nsec - phase_clock.mark.tv_nsec) * 1e-9;
  phase_clock.mark = now;
}

void phase_report() {
  const double* s = phase_clock.seconds;
  (void)std::fprintf(stderr, "phases: read %.4f parse %.4f emit %.4f destroy %.4f commit %.4f\n",
                     s[0], s[1], s[2], s[3], s[4]);
}
#else
inline void phase_start() {}
inline void phase_end(Phase) {}
inline void phase_report() {}
#endif

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
    phase_end(Phase::read);
    input_buffer_seal(buffer, size);
    parse_hosts_buffer(buffer, size);
    phase_end(Phase::parse);
  }
  deallocate(&buffer, false);
  (void)std::fclose(hosts_file);
  hosts_file = nullptr;
  phase_end(Phase::read);
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
  phase_start();

  OutputFile output{};
  if (!output_open(&output, argv[1])) return 1;
  zone_file = output.stream;

  name_table = hashmap_create(BUCKET_COUNT);
  if (name_table == nullptr) return abort_run(&output);

  for (int i = 2; i < argc; ++i) {
    if (!convert_input(argv[i])) return abort_run(&output);
  }

  phase_end(Phase::read);
  emit_zones();
  phase_end(Phase::emit);
  hashmap_destroy(name_table);
  name_table = nullptr;
  phase_end(Phase::destroy);

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
  phase_end(Phase::commit);
  phase_report();

  std::printf("Number of Hosts: %d\nNumber of Zones: %d\n", static_cast<int>(host_count),
              static_cast<int>(zone_count));
  // The summary is informational; the status reports the fragment alone.
  (void)std::fflush(stdout);
  return zone_count >= 1 && committed ? 0 : 1;
}
