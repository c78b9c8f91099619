// The extended performance table: one row per server, indexed by port, with
// what Apache 2.4's status page says beyond the original performance table.
// A column whose line the server's last status page lacked has no value in
// that row (the event MPM's connection counts under prefork, for one).
#include <stdint.h>

#include "collect/pages/page_refresh.h"
#include "module/ostrik.h"
#include "module/row_protocol.h"

namespace {

bool present(const ServerEntry *row, unsigned slot) {
  return ((row->extras.present >> slot) & 1u) != 0;
}

unsigned char *answer_int(int32_t value) {
  value_int = value;
  return reinterpret_cast<unsigned char *>(&value_int);
}

// Columns 3 to 23 answer the StatusExtra slots 0 to 20, each in its
// descriptor's type: Counter64 whole, Gauge32 held at its largest value,
// INTEGER at INT32_MAX.
unsigned char *perf_ext_column(const MibVariable *var, const ServerEntry *row,
                               int32_t *valueLength) {
  if (var->magic == 1) {
    return answer_int(row->port);
  }
  if (var->magic == 2) {
    return present(row, EXTRA_COUNT) ? string_value(row->extras.mpm, valueLength) : nullptr;
  }
  const int slot = var->magic - 3;
  if (slot < 0 || slot >= EXTRA_COUNT || !present(row, static_cast<unsigned>(slot))) {
    return nullptr;
  }
  const uint64_t value = row->extras.value[slot];
  switch (var->type) {
  case VARNOCK_TYPE_COUNTER64:
    value_counter64 = value;
    *valueLength = sizeof value_counter64;
    return reinterpret_cast<unsigned char *>(&value_counter64);
  case VARNOCK_TYPE_INTEGER:
    return answer_int(value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value));
  default:
    return answer_int(static_cast<int32_t>(value > UINT32_MAX ? UINT32_MAX : value));
  }
}

} // namespace

unsigned char *var_apacheperfext(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                                 int32_t *valueLength, void **writeMethod) {
  return table_answer(var, oid, oidLength, exact, valueLength, writeMethod, refresh_server_status,
                      perf_ext_column);
}
