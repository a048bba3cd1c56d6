#include "driver/driver.hpp"

int run_conversion(int, char**) {
  return 1;
}
