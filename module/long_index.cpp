#include "module/long_index.h"

#include <string.h>

bool long_index_ask(const MibVariable *var, const uint32_t *oid, const int32_t *oidLength,
                    int32_t exact, const int32_t *valueLength, void **writeMethod,
                    LongIndexAsk *ask) {
  if (var == nullptr || oid == nullptr || oidLength == nullptr || valueLength == nullptr ||
      writeMethod == nullptr || var->oidLength < 2 || var->oidLength > VARNOCK_MAX_OID_LEN ||
      *oidLength < 0 || *oidLength > VARNOCK_LONG_INDEX_MAX_OID) {
    return false;
  }
  ask->prefix = var->oidLength - 1;
  ask->exact = exact;
  const bool inColumn =
      *oidLength >= ask->prefix && memcmp(oid, var->oid, sizeof(uint32_t) * ask->prefix) == 0;
  if (exact != 0 && !inColumn) {
    return false;
  }
  ask->askedLength = inColumn ? *oidLength - ask->prefix : 0;
  memcpy(ask->asked, oid + ask->prefix, sizeof(uint32_t) * static_cast<size_t>(ask->askedLength));
  return true;
}

bool long_index_fits(const LongIndexAsk &ask, const uint32_t *arcs, int32_t length) {
  if (ask.prefix + length > VARNOCK_LONG_INDEX_MAX_OID) {
    return false;
  }
  const int order = VarnockCompare(arcs, length, ask.asked, ask.askedLength);
  return ask.exact != 0 ? order == 0 : order > 0;
}

unsigned char *long_index_answer(const MibVariable *var, const LongIndexAsk &ask,
                                 const uint32_t *arcs, int32_t length, unsigned char *value,
                                 int32_t valueLength, uint32_t *oid, int32_t *oidLength,
                                 int32_t *valueLengthOut, void **writeMethod, bool *pass) {
  *pass = value == nullptr && ask.exact == 0;
  if (value == nullptr) {
    return nullptr;
  }
  memcpy(oid, var->oid, sizeof(uint32_t) * ask.prefix);
  memcpy(oid + ask.prefix, arcs, sizeof(uint32_t) * static_cast<size_t>(length));
  *oidLength = ask.prefix + length;
  *valueLengthOut = valueLength;
  *writeMethod = nullptr;
  return value;
}
