// Which process serves a port: the owner of the socket that listens on it,
// for a server whose PID file is unknown (no info page) or unreadable.
#pragma once

#include <stdint.h>

#include <vector>

#include "platform/proc_table.h"

// A process and its parent, as far as the owner search needs them.
struct ProcLink {
  int32_t pid;
  int32_t ppid;
};

// True when a fetch from 127.0.0.1 at the listener's port reaches it: it
// listens on 127.0.0.1, on every IPv4 address, or on every IPv6 address
// (which on Linux takes IPv4 connections too unless told otherwise).
bool reachable_on_loopback(const PlatformListener &listener);

// The process that owns the socket listening on port (reachable on
// 127.0.0.1): among the processes that hold it, the one whose parent does
// not (Apache's children inherit their parent's sockets). 0 when none is
// found. The owner found is remembered per port and checked first at the
// next call, so that a steady server costs one descriptor listing.
int32_t listen_owner(uint16_t port, const std::vector<PlatformListener> &listeners,
                     const std::vector<ProcLink> &processes);

// Remembers pid as the owner of port's socket (a process that discovery
// found holding it), to be checked first.
void note_listen_owner(uint16_t port, int32_t pid);

// Forgets every remembered owner (the module's finish, tests).
void listen_owner_reset(void);
