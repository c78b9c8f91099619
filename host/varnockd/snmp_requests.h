// Requests on a module subtree: Net-SNMP's varbinds translated into the
// agent library's gets and get-nexts, or into look-ups in the collector's
// latest snapshot, and the answers translated back into varbinds.
#pragma once

// Net-SNMP's configuration header must come first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>

#include <net-snmp/agent/net-snmp-agent-includes.h>

namespace varnockd {

class Collector;

// Net-SNMP's handler of every module subtree: answers gets and get-nexts
// (Net-SNMP turns a get-bulk into get-next passes) and refuses anything
// else.
int handle_subtree(netsnmp_mib_handler *handler, netsnmp_handler_registration *reginfo,
                   netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests);

// From now on every request is answered from the collector's latest snapshot
// instead of calling the modules.
void answer_from_snapshots(const Collector *collector);

} // namespace varnockd
