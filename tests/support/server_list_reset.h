// Empties the module's ServerList between tests. The module itself never
// frees an entry, so only tests do this.
#pragma once

#include <cstdlib>

#include "config/server_list.h"

namespace testsupport {

inline void clear_server_list() {
  ServerEntry *entry = server_list;
  while (entry != nullptr) {
    ServerEntry *next = entry->next;
    std::free(entry);
    entry = next;
  }
  server_list = nullptr;
}

} // namespace testsupport
