// The table that `varnockd --dump` and varnock-walk print: one row per
// variable instance that the registered modules answer, in OID order.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "varnock_host.h"

namespace varnock {

// One variable instance as printed.
struct DumpRow {
  std::string name;     // the descriptor's name (the MIB's)
  std::string instance; // the answer's arcs after the descriptor's prefix
  std::string type;     // INTEGER, Counter32, Gauge32, Counter64 or STRING
  std::string value;    // a number, or a quoted text with \-escapes
};

// The row of one answer.
DumpRow dump_row(const VarnockAnswer &answer);

// Walks every registered variable from the start of the OID tree with the
// agent library's get-next (each handler runs its own refresh on its first
// call) and returns the answers in OID order.
std::vector<DumpRow> dump_all_variables();

// Prints the rows as an aligned table under a header line.
void print_dump(FILE *out, const std::vector<DumpRow> &rows);

} // namespace varnock
