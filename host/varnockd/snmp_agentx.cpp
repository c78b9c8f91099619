// The daemon as an AgentX sub-agent of a master agent.
#include "host/varnockd/snmp_agentx.h"

// Net-SNMP's configuration header must come first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>

#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <net-snmp/agent/agent_callbacks.h>

namespace varnockd {

namespace {

// The command line's settings, and whether the master is there.
const Options *g_options = nullptr;
bool g_agentx_connected = false;

// The master's socket, without building a string: the callbacks below run
// inside Net-SNMP's C frames, where no C++ exception may start.
const char *socket_name() {
  const char *socket = netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET);
  return socket != nullptr ? socket : NETSNMP_AGENTX_SOCKET;
}

// Net-SNMP's sub-agent calls these when its session with the master opens
// (at start, and each time it reaches a master again, after which it
// registers every subtree anew) and when it ends (the master closed the
// connection or stopped answering pings; the sub-agent then tries again
// every ping interval).
int on_agentx_start(int, int, void *, void *) {
  g_agentx_connected = true;
  snmp_log(LOG_INFO, "varnockd: AgentX master connected at %s\n", socket_name());
  return SNMPERR_SUCCESS;
}

int on_agentx_stop(int, int, void *, void *) {
  if (g_agentx_connected)
    snmp_log(LOG_WARNING, "varnockd: AgentX master lost; reconnecting every %d s\n",
             agentx_ping_seconds());
  g_agentx_connected = false;
  return SNMPERR_SUCCESS;
}

// The command line's AgentX settings win over varnockd.conf's agentXSocket
// and agentXPingInterval: applied once the configuration has been read,
// before the sub-agent first connects.
int apply_agentx_options(int, int, void *, void *) {
  if (!g_options->agentxSocket.empty())
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET,
                          g_options->agentxSocket.c_str());
  if (g_options->agentxPingGiven ||
      netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL) <= 0)
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                       g_options->agentxPingSeconds);
  // A master that is away is reported once by the lines above, not at every
  // attempt to reach it.
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
  return SNMPERR_SUCCESS;
}

} // namespace

// The master's AgentX socket as Net-SNMP will use it.
std::string agentx_socket() { return socket_name(); }

int agentx_ping_seconds() {
  return netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL);
}

bool agentx_connected() { return g_agentx_connected; }

void prepare_subagent(const Options &options) {
  g_options = &options;
  netsnmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_READ_CONFIG,
                            apply_agentx_options, nullptr, NETSNMP_CALLBACK_HIGHEST_PRIORITY);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, on_agentx_start,
                         nullptr);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, on_agentx_stop,
                         nullptr);
}

} // namespace varnockd
