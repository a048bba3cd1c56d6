// hostzones: converts DNS block lists into local-zone lines for a resolver.
#include <cstdio>

#include "driver/driver.hpp"

namespace {
// The summary's stdio buffer. Given before anything is written, it keeps
// stdio from asking the heap for one after the name table was released:
// that request would make the heap sweep up every freed entry first.
char stdout_buffer[4096];
}  // namespace

int main(int argc, char** argv) {
  // Should it fail, stdio simply keeps its own buffer.
  (void)std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
  return run_conversion(argc, argv);
}
