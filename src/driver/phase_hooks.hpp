// Marks between the phases of a run, for benchmarks: run_conversion calls
// phases_begin once it has its arguments, and phase_done at the end of each
// phase, a phase that recurs (reading, parsing) once per occurrence.
//
// The program's own definitions (phase_hooks.cpp) do nothing. They are a
// member of the driver's static library of their own, which a binary takes
// only when nothing else defines the two functions: the benchmark build
// hostzones_phases links bench/phase_clock.cpp instead, which times the
// phases and reports them on standard error (bench/compare.sh). With
// link-time optimisation the empty calls disappear from the program.
#pragma once

// The phases of a run. read: stat, open, read and close of the inputs (and
// the rest of the time between parses); parse: parse_hosts_buffer; emit:
// emit_zones; destroy: the name table's release; commit: the output's
// commit or abandonment. commit is the last phase of a run that reaches it.
enum class RunPhase { read, parse, emit, destroy, commit };

void phases_begin();
void phase_done(RunPhase phase);
