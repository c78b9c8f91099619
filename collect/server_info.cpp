#include "collect/server_info.h"

// Placeholder until the server-info collector lands.
int refresh_server_info(void) { return 0; }

int read_pid_file(ServerEntry *entry) {
  (void)entry;
  return -1;
}
