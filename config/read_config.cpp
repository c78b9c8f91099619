#include "config/read_config.h"

// Placeholder until the configuration reader lands.
int read_config(const char *path) {
  (void)path;
  return -1;
}
