// The health table: one row per server, indexed by port, with how the
// module's last fetches of the server's status page (columns 2 to 5) and
// info page (columns 6 to 9) went. The status refresh runs first (and with
// it the info refresh, each behind its own gate), as for the performance
// table; no page is fetched for this table alone.
#include <stdint.h>

#include "collect/pages/page_refresh.h"
#include "module/ostrik.h"
#include "module/row_protocol.h"
#include "platform/clock.h"

namespace {

unsigned char *answer_int(int32_t value) {
  value_int = value;
  return reinterpret_cast<unsigned char *>(&value_int);
}

// Seconds since the last fetch the collector could read; none before the
// first. A clock set back gives 0 rather than a negative age.
unsigned char *age(const PageHealth &health) {
  if (health.lastRead == 0) {
    return nullptr;
  }
  const int32_t seconds = static_cast<int32_t>(static_cast<uint32_t>(platform_time()) -
                                               static_cast<uint32_t>(health.lastRead));
  return answer_int(seconds < 0 ? 0 : seconds);
}

unsigned char *health_column(const MibVariable *var, const ServerEntry *row, int32_t *) {
  if (var->magic == 1) {
    return answer_int(row->port);
  }
  if (var->magic < 2 || var->magic > 9) {
    return nullptr;
  }
  const PageHealth &health = var->magic <= 5 ? row->statusHealth : row->infoHealth;
  switch ((var->magic - 2) % 4) {
  case 0:
    return age(health);
  case 1:
    return answer_int(health.outcome);
  case 2:
    return answer_int(health.httpCode);
  default:
    return answer_int(static_cast<int32_t>(health.failures)); // Gauge32: unsigned
  }
}

} // namespace

unsigned char *var_apachehealth(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                                int32_t *valueLength, void **writeMethod) {
  return table_answer(var, oid, oidLength, exact, valueLength, writeMethod, refresh_server_status,
                      health_column);
}
