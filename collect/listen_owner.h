// Which process serves a port: the owner of the socket that listens on it,
// for a server whose PID file is unknown (no info page) or unreadable.
#pragma once

#include <stdint.h>

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
