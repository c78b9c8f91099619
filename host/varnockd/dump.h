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

// The verdict on the ostrik module's servers, judged from the rows; one
// message per server in each list.
// - silent: the servers that did not answer: their /server-status page was
//   not read. Where the module has a health table, a page counts as read
//   when its last fetch's outcome is ok; without one, the status page by
//   apacheServerPerfCurrentUsers being at least 1 (the worker that writes
//   the page is busy while it does) and the info page by
//   apacheConfigVersion not being "N/A". The message names each page that
//   was not read and how its last fetch ended ("last fetch: httpError 401").
// - notes: the servers that answered without their /server-info page (a
//   server without mod_info): their configuration table stays "N/A"; and
//   those of which no access log is known.
// - unseen: the servers that answered but whose processes were not found
//   (apacheFootprintNumThreads 0: a running Apache has at least one
//   thread), so that their footprint is zeros, not a measure.
struct ServerVerdict {
  std::vector<std::string> silent;
  std::vector<std::string> notes;
  std::vector<std::string> unseen;
  std::vector<std::string> unreadLogs; // servers that answered with a log not read
  bool countsLogs = false;             // some server's access logs are counted
};
ServerVerdict judge_servers(const std::vector<DumpRow> &rows);

// The ports of the servers that the rows show (apacheConfigPort's
// instances), in OID order.
std::vector<std::string> dumped_servers(const std::vector<DumpRow> &rows);

// The whole of --dump after the modules have started: collects, prints the
// table on out, reports on err, and returns the exit status (0 only when
// every server configured for an ostrik module answered).
int run_dump(std::vector<Module> &modules, const std::string &configDir, FILE *out, FILE *err);

} // namespace varnockd
