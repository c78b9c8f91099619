// The SNMP side of the daemon: Net-SNMP's agent, set up from the command line
// and varnockd.conf, with one read-only registration per module subtree whose
// handler answers through the agent library's walk.
#pragma once

#include <signal.h>
#include <stdint.h>

#include <string>

#include "host/varnockd/options.h"

namespace varnockd {

class Collector;

// Catches SIGTERM and SIGINT (they end agent_run) and ignores SIGPIPE; done
// by agent_start too, earlier by a daemon that must stop before it.
bool install_signals();
// The signal that arrived, 0 while none has.
const volatile sig_atomic_t *agent_signal();

// Sets up Net-SNMP (configuration directory, persistent state, access
// control, listening addresses) and opens the listening ports; as an AgentX
// sub-agent, connects to the master instead (or keeps trying to, every ping
// interval, logging when the master is lost and when it is back). False with
// *error when an address cannot be opened.
bool agent_start(const Options &options, std::string *error);

// Where the daemon serves, for the log: "listening on ADDRESSES" or "as an
// AgentX sub-agent of the master at SOCKET".
std::string agent_where();

// The listening addresses in use, as Net-SNMP holds them.
std::string agent_addresses();

// Serves gets, get-nexts and get-bulks on the subtree (and refuses sets).
bool agent_register_subtree(const std::string &name, const uint32_t *subtree, int32_t length);

// Answers every request from the collector's latest snapshot instead of
// calling the modules, and reports collections that run late.
void agent_serve_snapshots(const Collector *collector);

// Calls tick every `seconds` seconds from the main loop.
void agent_set_tick(int seconds, void (*tick)());

// Runs Net-SNMP's main loop until SIGTERM or SIGINT; returns the signal.
int agent_run();

// Closes the ports and lets Net-SNMP shut down.
void agent_stop();

} // namespace varnockd
