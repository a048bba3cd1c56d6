// hostzones: converts DNS block lists into local-zone lines for a resolver.
#include "driver/driver.hpp"

int main(int argc, char** argv) {
  return run_conversion(argc, argv);
}
