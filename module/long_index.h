// The walk shared by the tables whose index holds names (a length, then
// its bytes, after the server's port): what a request asks beyond the
// column, which rows fit it, and the answer for the one that does.
#pragma once

#include <stdint.h>

#include "varnock.h"

struct LongIndexAsk {
  int32_t prefix; // the column's arcs: the descriptor's OID without its index
  int32_t exact;
  int32_t askedLength;
  uint32_t asked[VARNOCK_LONG_INDEX_MAX_OID];
};

// Reads a request to var's column into *ask. False when it can have no
// answer: a malformed request, or a get outside the column (a get-next
// from before the column starts at its first row).
bool long_index_ask(const MibVariable *var, const uint32_t *oid, const int32_t *oidLength,
                    int32_t exact, const int32_t *valueLength, void **writeMethod,
                    LongIndexAsk *ask);

// Whether the row whose index is arcs answers: the very row for a get, one
// after the asked index for a get-next. Rows visited in index order, the
// first that fits is the answer. An index too long for the OID never does.
bool long_index_fits(const LongIndexAsk &ask, const uint32_t *arcs, int32_t length);

// The answer for that row: its OID (the column, then arcs) written into
// oid, and value (null when the row has no value in this column) handed
// back with its length. A get-next passes over a row without a value: then
// *pass is set and null returned, and the walk goes on.
unsigned char *long_index_answer(const MibVariable *var, const LongIndexAsk &ask,
                                 const uint32_t *arcs, int32_t length, unsigned char *value,
                                 int32_t valueLength, uint32_t *oid, int32_t *oidLength,
                                 int32_t *valueLengthOut, void **writeMethod, bool *pass);
