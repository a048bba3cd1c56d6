#include "driver/run_state.hpp"

HashMap* name_table = nullptr;
std::FILE* zone_file = nullptr;
std::FILE* hosts_file = nullptr;
std::int32_t host_count = 0;
std::int32_t zone_count = 0;
std::int64_t lost_names = 0;
