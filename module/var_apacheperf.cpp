#include "collect/pages/page_refresh.h"
#include "module/ostrik.h"
#include "module/row_protocol.h"
#include "pluginlib/text.h"

namespace {

int32_t scoreboard_sum(const ServerEntry *row) {
  return wrapping_sum({row->startingCount, row->readingCount, row->replyingCount,
                       row->keepAliveCount, row->dnsCount, row->loggingCount, row->finishingCount});
}

} // namespace

// The server performance table: one row per server, indexed by port, with
// what the server-status collector read from its status page.
unsigned char *var_apacheperf(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                              int32_t *valueLength, void **writeMethod) {
  ServerEntry *row =
      table_row(var, oid, oidLength, exact, valueLength, writeMethod, refresh_server_status);
  if (row == nullptr) {
    return nullptr;
  }
  switch (var->magic) {
  case 1: // apacheServerPerfPort
    value_int = row->port;
    break;
  case 2: // apacheServerPerfUptime
    value_int = row->uptime;
    break;
  case 3: // apacheServerPerfTotalAccesses
    value_int = row->totalAccesses;
    break;
  case 4: // apacheServerPerfTotalTraffic
    value_int = row->totalKBytes;
    break;
  case 5: // apacheServerPerfCurrentUsers
    value_int = row->busyWorkers;
    break;
  case 6: // apacheServerPerfCurrentIdleProcs
    value_int = row->idleWorkers;
    break;
  case 7: // apacheServerPerfCurrentStartupProcs
    value_int = row->startingCount;
    break;
  case 8: // apacheServerPerfCurrentReadProcs
    value_int = row->readingCount;
    break;
  case 9: // apacheServerPerfCurrentReplyProcs
    value_int = row->replyingCount;
    break;
  case 10: // apacheServerPerfCurrentKeepAliveProcs
    value_int = row->keepAliveCount;
    break;
  case 11: // apacheServerPerfCurrentDNSProcs
    value_int = row->dnsCount;
    break;
  case 12: // apacheServerPerfCurrentLoggingProcs
    value_int = row->loggingCount;
    break;
  case 13: // apacheServerPerfCurrentFinishingProcs
    value_int = row->finishingCount;
    break;
  case 14: // apacheServerPerfCurrentTotalProcs
    value_int = wrapping_sum({row->idleWorkers, scoreboard_sum(row)});
    break;
  case 15: // apacheServerPerfCurrentBusyProcs
    value_int = scoreboard_sum(row);
    break;
  default:
    VarnockSyslog(VARNOCK_LOG_DEBUG, "var_apacheperf: bad magic value");
    return nullptr;
  }
  return reinterpret_cast<unsigned char *>(&value_int);
}
