// Discovery: the running Apache servers found by themselves, for an
// ostrik.cf with a "discover" line. Each server's main process is found by
// its name, its listening sockets through the descriptors it holds, and
// its port by the one whose status page answers.
#pragma once

#include <stdint.h>

#include <vector>

#include "platform/proc_table.h"

enum {
  DISCOVER_INTERVAL = 300, // seconds between two looks
};

// A running server: its main process and the ports, ascending, on which it
// listens where a fetch from 127.0.0.1 reaches it.
struct FoundServer {
  int32_t pid;
  char name[16];
  std::vector<uint16_t> ports;
};

// Whether a command name is Apache's: apache, apache2, httpd, httpd2, and
// those with a "-" or "." suffix (httpd-prefork, httpd.worker, ...).
bool is_apache_name(const char *name);

// The servers among processes: every Apache-named process whose parent is
// not Apache-named, with the ports of the listening sockets it holds.
// Servers that hold no such socket are left out; *unreachable (when not
// null) counts the listening sockets passed over because 127.0.0.1 does not
// reach them.
std::vector<FoundServer> find_servers(const std::vector<PlatformProcess> &processes,
                                      const std::vector<PlatformListener> &listeners,
                                      int *unreachable);

// One look: reads the process file system, logs what it could not read,
// and for every server found that is not yet watched tries its ports in
// ascending order, plain HTTP first; the first whose status page answers
// becomes a new row, unless a server line already names one of its ports.
// The number of rows added.
int discover_servers(void);

// Runs discover_servers while the configuration asks for discovery: at the
// first call, then at most every DISCOVER_INTERVAL seconds. Always 0.
int refresh_discovery(void);

// The seconds between two looks (tests and troubleshooting); 0 or less
// restores DISCOVER_INTERVAL.
void discovery_set_interval(int seconds);

// Forgets the servers seen and the time of the last look, as at load.
void discovery_reset(void);
