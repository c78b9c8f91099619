#include "config/server_entry.h"

#include <cstring>

int server_generation(const ServerEntry *entry) {
  return std::strncmp(entry->version, "Apache/2.", 9) == 0 ? 2 : 1;
}
