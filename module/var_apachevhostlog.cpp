// The per-host access-log table: one row per server and virtual host,
// indexed by the port and the host's name (its length, then one arc per
// byte), with the counters of the access-log table. Rows run in OID order:
// by port, then by name length, then by bytes.
#include <stdint.h>
#include <string.h>

#include "collect/logs/access_log.h"
#include "collect/pages/page_refresh.h"
#include "config/server_list.h"
#include "module/log_columns.h"
#include "module/long_index.h"
#include "module/ostrik.h"
#include "varnock.h"

namespace {

// A row's index arcs: port, name length, name bytes.
struct RowKey {
  uint32_t arcs[2 + LOG_VHOST_NAME_MAX];
  int32_t length;
};

// False (and no key) for a name too long for a row's index, whatever the
// collector hands over.
bool key_of(const ServerEntry *entry, const LogVhostView &view, RowKey *key) {
  if (view.name == nullptr || view.nameLength > LOG_VHOST_NAME_MAX) {
    return false;
  }
  key->arcs[0] = static_cast<uint32_t>(entry->port);
  key->arcs[1] = static_cast<uint32_t>(view.nameLength);
  for (size_t i = 0; i < view.nameLength; ++i) {
    key->arcs[2 + i] = static_cast<unsigned char>(view.name[i]);
  }
  key->length = static_cast<int32_t>(2 + view.nameLength);
  return true;
}

unsigned char *answer_int(int32_t value) {
  value_int = value;
  return reinterpret_cast<unsigned char *>(&value_int);
}

unsigned char *vhost_column(const MibVariable *var, const ServerEntry *entry,
                            const LogVhostView &view, int32_t *valueLength) {
  switch (var->magic) {
  case 1:
    *valueLength = 4;
    return answer_int(entry->port);
  case 2: {
    const size_t length =
        view.nameLength < sizeof value_text - 1 ? view.nameLength : sizeof value_text - 1;
    memcpy(value_text, view.name, length);
    value_text[length] = '\0';
    *valueLength = static_cast<int32_t>(length);
    return reinterpret_cast<unsigned char *>(value_text);
  }
  case OSTRIK_VHOST_LOG_SINCE_COLUMN:
    return log_since_answer(view.since, valueLength);
  default:
    *valueLength = 4;
    if (var->type != VARNOCK_TYPE_COUNTER64) {
      return nullptr; // magic and type disagree: no answer of another type
    }
    return log_counter_answer(*view.counters, var->magic - OSTRIK_VHOST_LOG_FIRST_COUNTER,
                              valueLength);
  }
}

} // namespace

unsigned char *var_apachevhostlog(MibVariable *var, uint32_t *oid, int32_t *oidLength,
                                  int32_t exact, int32_t *valueLength, void **writeMethod) {
  LongIndexAsk ask;
  if (!long_index_ask(var, oid, oidLength, exact, valueLength, writeMethod, &ask)) {
    return nullptr;
  }
  refresh_server_status();

  for (const ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    LogVhostView view;
    for (size_t i = 0; log_vhost_at(entry, i, &view); ++i) {
      RowKey key;
      if (!key_of(entry, view, &key) || !long_index_fits(ask, key.arcs, key.length)) {
        continue;
      }
      int32_t length = 0;
      unsigned char *value = vhost_column(var, entry, view, &length);
      bool pass = false;
      unsigned char *answer = long_index_answer(var, ask, key.arcs, key.length, value, length, oid,
                                                oidLength, valueLength, writeMethod, &pass);
      if (!pass) {
        return answer;
      }
    }
  }
  return nullptr;
}
