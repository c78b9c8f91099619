// `varnockd --dump`: every variable of the started modules, once, as a
// table on the standard output, and a verdict on the monitored servers.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "host/dump/dump_table.h"
#include "host/varnockd/modules.h"

namespace varnockd {

using varnock::DumpRow;

// Calls every started module's callback once, then walks every registered
// variable from the start (each handler runs its own refresh on its first
// call) and returns the answers in OID order.
std::vector<DumpRow> collect_dump(std::vector<Module> &modules);

// The ostrik module's servers that did not answer, judged from the rows:
// one message per server (empty when every configured server answered).
// A server is a row of apacheConfigPort; it answered when its
// apacheConfigVersion is not "N/A" (its /server-info page was read) and its
// apacheServerPerfCurrentUsers is at least 1 (its /server-status page was
// read: the worker that writes that page is busy while it does). Where the
// module has a health table, the message says how each missing page's last
// fetch ended ("last fetch: httpError 401").
std::vector<std::string> servers_not_answering(const std::vector<DumpRow> &rows);

// The ports of the servers that the rows show (apacheConfigPort's
// instances), in OID order.
std::vector<std::string> dumped_servers(const std::vector<DumpRow> &rows);

// The whole of --dump after the modules have started: collects, prints the
// table on out, reports on err, and returns the exit status (0 only when
// every server configured for an ostrik module answered).
int run_dump(std::vector<Module> &modules, const std::string &configDir, FILE *out, FILE *err);

} // namespace varnockd
