#include "module/row_protocol.h"

#include <cstring>

#include "config/server_list.h"

namespace {

int32_t request_index(const MibVariable *var, const uint32_t *oid, int32_t oidLength,
                      int32_t exact) {
  const int32_t length = var->oidLength;
  if (oidLength != length || length < 2) {
    return 0;
  }
  if (exact == 0 && oid[length - 2] != var->oid[length - 2]) {
    return 0;
  }
  // The index arc is read as a signed 32-bit number: arcs of 2^31 and above
  // become negative and name no port.
  return static_cast<int32_t>(oid[length - 1]);
}

} // namespace

ServerEntry *table_row(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                       int32_t *valueLength, void **writeMethod, TableRefresh refresh) {
  if (var == nullptr || oid == nullptr || oidLength == nullptr || valueLength == nullptr ||
      writeMethod == nullptr || var->oidLength < 2 || var->oidLength > VARNOCK_MAX_OID_LEN) {
    return nullptr;
  }
  const int32_t index = request_index(var, oid, *oidLength, exact);
  if (refresh() < 0) {
    return nullptr;
  }
  ServerEntry *row = exact != 0 ? find_server(index) : find_next_server(index);
  if (row == nullptr) {
    return nullptr;
  }
  std::memcpy(oid, var->oid, sizeof(uint32_t) * var->oidLength);
  *oidLength = var->oidLength;
  oid[var->oidLength - 1] = static_cast<uint32_t>(row->port);
  *valueLength = 4;
  *writeMethod = nullptr;
  return row;
}

unsigned char *table_answer(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                            int32_t *valueLength, void **writeMethod, TableRefresh refresh,
                            ColumnAnswer answer) {
  for (;;) {
    const ServerEntry *row =
        table_row(var, oid, oidLength, exact, valueLength, writeMethod, refresh);
    if (row == nullptr) {
      return nullptr;
    }
    unsigned char *value = answer(var, row, valueLength);
    if (value != nullptr || exact != 0) {
      return value;
    }
    // oid now names this row of the column, so the next pass asks for the
    // first row whose port is greater: the walk moves strictly forward.
  }
}
