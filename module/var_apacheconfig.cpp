// The configuration table: one row per server, indexed by its port, with
// what the server-info collector has read from the server's info page.
#include "collect/pages/page_refresh.h"
#include "module/ostrik.h"
#include "module/row_protocol.h"

namespace {

unsigned char *integer_value(int32_t value) {
  value_int = value;
  return reinterpret_cast<unsigned char *>(&value_int);
}

} // namespace

unsigned char *var_apacheconfig(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                                int32_t *valueLength, void **writeMethod) {
  ServerEntry *row =
      table_row(var, oid, oidLength, exact, valueLength, writeMethod, refresh_server_info);
  if (row == nullptr) {
    return nullptr;
  }
  const int generation = server_generation(row);
  switch (var->magic) {
  case 1: // apacheConfigPort
    return integer_value(row->port);
  case 2: // apacheConfigVersion
    return string_value(row->version, valueLength);
  case 3: // apacheConfigPID
    return integer_value(row->pid);
  case 4: // apacheConfigRunMode
    // A generation 2 server's page carries no run mode.
    return string_value(generation == 2 ? "" : row->runMode, valueLength);
  case 5: // apacheConfigUser
    return string_value(row->userName, valueLength);
  case 6: // apacheConfigGroup
    return string_value(row->groupName, valueLength);
  case 7: // apacheConfigHostname
    return string_value(row->hostname, valueLength);
  case 8: // apacheConfigStartProcs
    return integer_value(row->startProcs);
  case 9: // apacheConfigMinIdleProcs
    return integer_value(row->minIdleProcs);
  case 10: // apacheConfigMaxIdleProcs
    return integer_value(row->maxIdleProcs);
  case 11: // apacheConfigMaxProcs
    return integer_value(row->maxProcs);
  case 12: // apacheConfigRequestsMaxPerChild
    return integer_value(row->requestsMaxPerChild);
  case 13: // apacheConfigRequestsKeepAlive
    return integer_value(row->keepAlive);
  case 14: // apacheConfigRequestsMaxPerConn
    return integer_value(row->requestsMaxPerConn);
  case 15: // apacheConfigThreadsPerChild
    return integer_value(row->threadsPerChild);
  case 16: // apacheConfigConnectionTimeout
    return integer_value(row->connectionTimeout);
  case 17: // apacheConfigKeepAliveTimeout
    return integer_value(row->keepAliveTimeout);
  case 18: // apacheConfigServerRoot
    return string_value(row->serverRoot, valueLength);
  case 19: // apacheConfigConfigFile
    return string_value(row->configFile, valueLength);
  case 20: // apacheConfigPIDFile
    return string_value(row->pidFile, valueLength);
  case 21: // apacheConfigScoreboardFile
    return string_value(row->scoreboardFile, valueLength);
  case 22: // apacheConfigDocumentRoot
    return string_value(row->documentRoot, valueLength);
  case 23: // apacheConfigAccessLog
    return string_value(row->accessLog, valueLength);
  case 24: // apacheConfigErrorLog
    return string_value(row->errorLog, valueLength);
  case 25: // apacheConfigScriptLog
    return string_value(row->scriptLog, valueLength);
  default:
    return nullptr;
  }
}
