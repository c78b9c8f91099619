// The row protocol that the three table handlers share: which row a get or
// get-next names, the table's refresh, and the answer's OID.
#pragma once

#include <stdint.h>

#include "config/server_entry.h"
#include "varnock.h"

typedef int (*TableRefresh)(void);

// Runs refresh, then finds the row that the request names: for a get the
// entry whose port equals the index, for a get-next the first entry in list
// order whose port is greater. The index is the request's last arc when the
// request has as many arcs as the descriptor (and, for a get-next, names the
// descriptor's column); otherwise 0. On success writes the descriptor's OID
// with the row's port as its last arc, valueLength 4 and a null writeMethod,
// and returns the row. Returns null, writing nothing, when refresh fails or
// there is no such row.
ServerEntry *table_row(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                       int32_t *valueLength, void **writeMethod, TableRefresh refresh);
