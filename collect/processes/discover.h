// Discovery: the running Apache servers found by themselves, for an
// ostrik.cf with a "discover" line. Each server's main process is found by
// its name, its listening sockets through the descriptors it holds, and
// its port by the one whose status page answers.
#pragma once

#include <stdint.h>

#include <vector>

#include "platform/net.h"
#include "platform/proc_table.h"

enum {
  DISCOVER_INTERVAL = 300, // seconds between two looks
};

// Where a found server may be reached: a port and the address a fetch
// connects to. A fallback is tried only when no other place of the server
// answered: ::1 for a socket that listens on every IPv6 address, which
// 127.0.0.1 reaches unless it takes IPv6 alone.
struct FoundEndpoint {
  uint16_t port;
  PlatformAddress address;
  bool fallback;
};

// A running server: its main process and the places where it listens that
// a fetch from this machine reaches, each once: the others by ascending
// port, then the fallbacks by ascending port. pid is 0 for a port found
// without its process (see find_servers); inodes are then its sockets.
struct FoundServer {
  int32_t pid;
  char name[16];
  std::vector<FoundEndpoint> endpoints;
  std::vector<uint64_t> inodes;
};

// The users whose servers discovery takes: root, and the discover line's
// owner= when it names one.
struct TrustedUsers {
  bool ownerSet;
  uint32_t owner;
  bool has(int64_t uid) const { return uid == 0 || (ownerSet && uid == owner); }
};

// Whether a command name is Apache's: apache, apache2, httpd, httpd2, and
// those with a "-" or "." suffix (httpd-prefork, httpd.worker, ...).
bool is_apache_name(const char *name);

// The servers among processes: every Apache-named process whose parent is
// not Apache-named and whose user is one of users, with the places of the
// listening sockets it holds that its user made: the socket's own address,
// or 127.0.0.1 for one on every address. Servers that hold no such socket
// are left out; *unreachable (when not null) counts the listening sockets
// passed over because no fetch from this machine reaches them (see
// listener_address).
//
// Where such a process's descriptors cannot be listed (root's server seen
// by an unprivileged agent), the listening sockets of its user that no
// process whose descriptors can be listed holds are taken instead, one
// server of pid 0 per port, after the others.
std::vector<FoundServer> find_servers(const std::vector<PlatformProcess> &processes,
                                      const std::vector<PlatformListener> &listeners,
                                      int *unreachable, TrustedUsers users = TrustedUsers{});

// One look: reads the process file system, logs what it could not read,
// and for every server found that is not yet watched tries its places in
// order, plain HTTP first, then HTTPS (where the build has it); the first
// whose status page answers becomes a new row, reached there with that
// scheme, unless a server line already names one of its ports. Only root's
// servers and those of the discover line's owner are found. A port found
// without its process that does not answer as a status page (or answers
// as one already made a row in the same look) is not asked again while the
// same socket listens there, and its probes log nothing. The number of rows
// added.
int discover_servers(void);

// Runs discover_servers while the configuration asks for discovery: at the
// first call, then at most every DISCOVER_INTERVAL seconds. Always 0.
int refresh_discovery(void);

// The seconds between two looks (tests and troubleshooting); 0 or less
// restores DISCOVER_INTERVAL.
void discovery_set_interval(int seconds);

// Forgets the servers seen and the time of the last look, as at load.
void discovery_reset(void);
