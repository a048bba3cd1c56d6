// Phase times for the benchmark build hostzones_phases: the process's CPU
// time (user and system; on a shared machine steadier than wall time) split
// into the phases of the run, written to standard error when the commit
// phase ends, as one line "phases: read S parse S emit S destroy S commit
// S" (bench/compare.py reads it). Stands in for the program's empty marks
// (src/driver/phase_hooks.hpp).
#include <time.h>

#include <cstdio>

#include "driver/phase_hooks.hpp"

namespace {

constexpr int PHASE_COUNT = static_cast<int>(RunPhase::commit) + 1;

struct PhaseClock {
  double seconds[PHASE_COUNT];
  timespec mark;
};
PhaseClock phase_clock;

void report() {
  const double* s = phase_clock.seconds;
  (void)std::fprintf(stderr, "phases: read %.4f parse %.4f emit %.4f destroy %.4f commit %.4f\n",
                     s[0], s[1], s[2], s[3], s[4]);
}

}  // namespace

void phases_begin() {
  phase_clock = PhaseClock{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &phase_clock.mark);
}

// Adds the time since the last mark to phase, and marks now.
void phase_done(RunPhase phase) {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  phase_clock.seconds[static_cast<int>(phase)] +=
      static_cast<double>(now.tv_sec - phase_clock.mark.tv_sec) +
      static_cast<double>(now.tv_nsec - phase_clock.mark.tv_nsec) * 1e-9;
  phase_clock.mark = now;
  if (phase == RunPhase::commit) report();
}
