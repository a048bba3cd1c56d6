// Parser throughput on three generated lists, of 1 MB (a typical public list,
// about 30 000 names) and of 8 MB (about 240 000 names, a large combined
// run); the argument is the size in MB:
//   Comments    comment lines only: nothing is stored, so this is the speed
//               of the line scans themselves;
//   Present     hosts lines whose names are all in the table already: one
//               lookup per name;
//   New         the same lines into an empty table: a lookup and an insertion
//               per name.
// The parser rewrites its buffer, so every iteration first restores it (and,
// for New, replaces the table) with the timer paused.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "hashmap/hashmap.hpp"
#include "hosts/hosts.hpp"
#include "memory/memory.hpp"
#include "run_state/run_state.hpp"

namespace {

// Comment lines of 20 to 119 bytes, as in list headers and section notes.
std::string comment_list(std::size_t target_size) {
  std::string text;
  const std::string words =
      "# Blocked hosts, collected from several public lists; see the licence. ";
  for (unsigned i = 0; text.size() < target_size; ++i) {
    const std::size_t len = 20 + (i * 37) % 100;
    std::string line;
    while (line.size() < len)
      line += words;
    line.resize(len);
    text += line + "\n";
  }
  return text;
}

// Hosts lines, one distinct name each, of the shapes real lists hold.
std::string hosts_list(std::size_t target_size) {
  static const char* const labels[] = {"ads", "track", "metrics", "cdn", "pixel", "stats"};
  static const char* const domains[] = {"example.com", "adnetwork.net", "tracker-cloud.io",
                                        "analytics.example.org", "banners.co.uk"};
  std::string text;
  char line[128];
  for (unsigned i = 0; text.size() < target_size; ++i) {
    std::snprintf(line, sizeof line, "0.0.0.0 %s%u.%s\n", labels[i % 6], i, domains[i % 5]);
    text += line;
  }
  return text;
}

// A guarded input buffer: text, '\n', NUL.
struct Input {
  char* buffer = nullptr;
  std::int64_t size = 0;
};

Input make_input(const std::string& text) {
  Input in;
  in.size = static_cast<std::int64_t>(text.size());
  in.buffer = input_buffer_new(in.size);
  return in;
}

void restore(Input& in, const std::string& text) {
  std::memcpy(in.buffer, text.data(), text.size());
  input_buffer_seal(in.buffer, in.size);
}

void reset_table() {
  hashmap_destroy(name_table);
  run_state_reset();
  name_table = hashmap_create(BUCKET_COUNT);
}

void run(benchmark::State& state, const std::string& text, bool new_table_each_time) {
  Input in = make_input(text);
  if (in.buffer == nullptr) {
    state.SkipWithError("no buffer");
    return;
  }
  reset_table();
  restore(in, text);
  parse_hosts_buffer(in.buffer, in.size);  // fills the table for Present
  for (auto _ : state) {
    state.PauseTiming();
    if (new_table_each_time) reset_table();
    restore(in, text);
    state.ResumeTiming();
    parse_hosts_buffer(in.buffer, in.size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * in.size);
  state.counters["names"] = host_count;
  deallocate(&in.buffer, false);
  hashmap_destroy(name_table);
  name_table = nullptr;
}

std::size_t megabytes(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0)) << 20;
}

void Comments(benchmark::State& state) {
  run(state, comment_list(megabytes(state)), false);
}
void Present(benchmark::State& state) {
  run(state, hosts_list(megabytes(state)), false);
}
void New(benchmark::State& state) {
  run(state, hosts_list(megabytes(state)), true);
}

}  // namespace

BENCHMARK(Comments)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(Present)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(New)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);
