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

// The value of one column of row, or null when the row has none: a handler's
// answer step after the row protocol. It may set valueLength (texts,
// Counter64).
typedef unsigned char *(*ColumnAnswer)(const MibVariable *var, const ServerEntry *row,
                                       int32_t *valueLength);

// table_row, then answer for the row found. For a get-next, a row that has
// no value for the column is passed over and the next row tried, so that a
// walk of the column visits every row that has one; a get of such a row
// answers null. Null when there is no (further) row.
unsigned char *table_answer(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                            int32_t *valueLength, void **writeMethod, TableRefresh refresh,
                            ColumnAnswer answer);
