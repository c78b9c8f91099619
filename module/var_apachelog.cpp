// The access-log table: one row per server, indexed by port, with how its
// access logs could be read and what their lines said. The status refresh
// reads the logs; no page is fetched for this table alone.
#include <stdint.h>

#include "collect/logs/access_log.h"
#include "collect/pages/page_refresh.h"
#include "module/log_columns.h"
#include "module/ostrik.h"
#include "module/row_protocol.h"

namespace {

unsigned char *answer_int(int32_t value) {
  value_int = value;
  return reinterpret_cast<unsigned char *>(&value_int);
}

// A server whose logs have not been looked for has no row; the counters
// have no instance while no log is known.
unsigned char *log_column(const MibVariable *var, const ServerEntry *row, int32_t *valueLength) {
  LogSummary summary;
  if (!log_summary(row, &summary)) {
    return nullptr;
  }
  switch (var->magic) {
  case 1:
    return answer_int(row->port);
  case 2:
    return answer_int(static_cast<int32_t>(summary.files));
  case 3:
    return answer_int(static_cast<int32_t>(summary.unreadable));
  case 4:
    return string_value(summary.state, valueLength);
  case 5: {
    // KB, rounded up, so that a byte left over never reads as caught up.
    const uint64_t kb = (summary.backlog + 1023) / 1024;
    return answer_int(static_cast<int32_t>(kb > UINT32_MAX ? UINT32_MAX : kb));
  }
  case OSTRIK_LOG_SINCE_COLUMN:
    return log_since_answer(summary.since, valueLength);
  default:
    // A counter answers only for a Counter64 descriptor: one whose magic
    // and type disagree gets no answer rather than a value of another type.
    if (summary.files == 0 || var->type != VARNOCK_TYPE_COUNTER64) {
      return nullptr;
    }
    return log_counter_answer(*summary.counters, var->magic - OSTRIK_LOG_FIRST_COUNTER,
                              valueLength);
  }
}

} // namespace

unsigned char *var_apachelog(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                             int32_t *valueLength, void **writeMethod) {
  return table_answer(var, oid, oidLength, exact, valueLength, writeMethod, refresh_server_status,
                      log_column);
}
