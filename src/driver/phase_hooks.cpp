// The program's phase marks: nothing (see phase_hooks.hpp).
#include "driver/phase_hooks.hpp"

void phases_begin() {}

void phase_done(RunPhase) {}
