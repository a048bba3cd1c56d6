// The run's state (see run_state.hpp).
#include "run_state/run_state.hpp"

HashMap* name_table = nullptr;
std::FILE* zone_file = nullptr;
std::FILE* hosts_file = nullptr;
std::int32_t host_count = 0;
std::int32_t zone_count = 0;
std::int64_t lost_names = 0;

void run_state_reset() {
  name_table = nullptr;
  zone_file = nullptr;
  hosts_file = nullptr;
  host_count = 0;
  zone_count = 0;
  lost_names = 0;
}
