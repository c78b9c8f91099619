// The daemon as an AgentX sub-agent: the command line's settings over
// varnockd.conf's, and the log lines as the master connects, is lost and
// comes back.
#pragma once

#include <string>

#include "host/varnockd/options.h"

namespace varnockd {

// Before Net-SNMP reads its configuration: registers the callbacks that
// apply the command line's AgentX settings once varnockd.conf has been read,
// and that follow the session with the master. options must outlive the
// agent.
void prepare_subagent(const Options &options);

// True while the session with the master is open.
bool agentx_connected();

// The master's AgentX socket as Net-SNMP will use it.
std::string agentx_socket();

// Seconds between the sub-agent's pings of the master, and between its tries
// to reach a master that is away.
int agentx_ping_seconds();

} // namespace varnockd
