// Which process serves a port: the owner of the socket that listens on it,
// for a server whose PID file is unknown (no info page) or unreadable.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/proc_table.h"

// A process and its parent, as far as the owner search needs them.
struct ProcLink {
  int32_t pid;
  int32_t ppid;
};

// True when a connection to address at the listener's port reaches it: it
// listens on that address, on every address of its family, or on every
// IPv6 address (which on Linux takes IPv4 connections too unless told
// otherwise). An address of family 0 stands for 127.0.0.1.
bool listener_reaches(const PlatformListener &listener, const PlatformAddress &address);

// Where a fetch reaches the listener: its own address, or for one that
// listens on every address, 127.0.0.1 (IPv4, and IPv6 that takes IPv4 too)
// and *fallback ::1, for an IPv6 socket that takes IPv6 only (fallback
// family 0 when there is none). False when no fetch from this machine can
// reach it: an IPv6 link-local address, whose interface the table does not
// tell, or an address that is not this machine's.
bool listener_address(const PlatformListener &listener, PlatformAddress *address,
                      PlatformAddress *fallback);

// The process that owns the socket listening on port and reached at
// address (null or family 0: 127.0.0.1): among the processes that hold it,
// the one whose parent does not (Apache's children inherit their parent's
// sockets). 0 when none is found. The owner found is remembered per port
// and checked first at the next call, so that a steady server costs one
// descriptor listing.
int32_t listen_owner(uint16_t port, const std::vector<PlatformListener> &listeners,
                     const std::vector<ProcLink> &processes,
                     const PlatformAddress *address = nullptr);

// Remembers pid as the owner of port's socket (a process that discovery
// found holding it), to be checked first.
void note_listen_owner(uint16_t port, int32_t pid);

// Forgets every remembered owner (the module's finish, tests).
void listen_owner_reset(void);

// When the descriptors of the processes cannot be read (the agent runs
// unprivileged and Apache as root), listen_owner falls back on what needs
// no privilege, and accepts a process only when it runs, is named as Apache
// is and belongs to the user that made the listening socket:
// - a main process vouched for by the server's own status page (below);
// - the PID file that a distribution's service scripts write, a root-owned
//   file in a root-owned directory: Debian's /run/apache2/apache2.pid and
//   its instances' /run/apache2-NAME/apache2.pid, Red Hat's
//   /run/httpd/httpd.pid. A PID file names a process but not its port, so
//   one is taken alone only when no other Apache main process of that user
//   runs; else the Debian instance whose ports.conf
//   (/etc/apache2-NAME/ports.conf, root's) has a Listen line for the port.

// A PID file of a distribution's layout that names a number, and the
// directory where that server writes its logs (/var/log/apache2-NAME for
// /run/apache2-NAME/apache2.pid, /var/log/httpd for Red Hat's).
struct LayoutPidFile {
  int32_t pid;
  std::string logDir;
  std::string confDir; // Debian's /etc/apache2-NAME; empty for Red Hat's
  bool redHat;
};
std::vector<LayoutPidFile> layout_pid_files(void);

// Where the layout is looked for: /run, /var/log and /etc unless a test
// points them at a tree of its own; null restores the three.
void set_layout_roots(const char *run, const char *log, const char *etc);

// The worker processes that a server's status page lists: their parent, when
// they all have the same one and it runs, is named as Apache is and belongs
// to the user that made the socket listening on port where it is reached,
// is remembered as that port's main process for listen_owner's fallback, and
// returned. 0 (and nothing remembered) otherwise.
int32_t vouch_for_workers(uint16_t port, const std::vector<PlatformListener> &listeners,
                          const PlatformAddress *address, const std::vector<int32_t> &workers);
