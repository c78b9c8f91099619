// The registered variables, shared by the registration calls and the walk.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "varnock.h"

namespace varnock {

// The variables in registration order.
const std::vector<MibVariable *> &registered_variables();

// The variables in ascending order of prefix (the descriptor OID without its
// last arc), rebuilt after a registration change.
const std::vector<MibVariable *> &variables_by_prefix();

// Number of arcs of a variable's prefix.
inline int32_t prefix_length(const MibVariable *var) { return var->oidLength - 1; }

// True when the variable's instances may be longer than its descriptor.
inline bool long_index(const MibVariable *var) {
  return (var->access & VARNOCK_ACCESS_LONG_INDEX) != 0;
}

// True when the first prefixLength arcs of oid equal prefix.
bool starts_with(const uint32_t *oid, int32_t oidLength, const uint32_t *prefix,
                 int32_t prefixLength);

} // namespace varnock
