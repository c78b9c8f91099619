// Get and get-next over the registered variables: picks the variable whose
// handler answers a request, calls it on a private copy of the request and
// copies the answer out before any other handler can overwrite it.
#include <string.h>

#include <algorithm>

#include "host/libvarnock/variables.h"
#include "varnock_host.h"

namespace {

using varnock::long_index;
using varnock::prefix_length;
using varnock::starts_with;

// Calls var's handler on the first length arcs of oid. On an answer that the
// host can carry, fills answer and returns true.
bool call_handler(MibVariable *var, const uint32_t *oid, int32_t length, int32_t exact,
                  VarnockAnswer *answer) {
  // The handler reads and writes the OID in place: give it a buffer that
  // holds any request and any answer it may write.
  uint32_t work[VARNOCK_HOST_MAX_OID] = {};
  length = std::clamp<int32_t>(length, 0, VARNOCK_HOST_MAX_OID);
  std::copy(oid, oid + length, work);
  int32_t workLength = length;
  int32_t valueLength = 0;
  void *writeMethod = nullptr;
  const unsigned char *value = nullptr;
  // Handlers are C functions; one written in C++ that throws anyway gives no
  // answer, and the exception goes no further toward the host's C frames.
  try {
    value = var->handler(var, work, &workLength, exact, &valueLength, &writeMethod);
  } catch (...) {
    return false;
  }
  if (value == nullptr)
    return false;
  if (valueLength < 0 || valueLength > static_cast<int32_t>(sizeof answer->value))
    return false;
  if (workLength < 1 || workLength > VARNOCK_HOST_MAX_OID)
    return false;
  std::copy(work, work + workLength, answer->oid);
  answer->oidLength = workLength;
  answer->type = var->type;
  answer->valueLength = valueLength;
  memcpy(answer->value, value, static_cast<size_t>(valueLength));
  answer->variable = var;
  return true;
}

} // namespace

extern "C" {

int VarnockHostGet(const uint32_t *oid, int32_t oidLength, VarnockAnswer *answer) {
  if (oid == nullptr || answer == nullptr || oidLength < 1 || oidLength > VARNOCK_HOST_MAX_OID)
    return 0;
  for (MibVariable *var : varnock::variables_by_prefix()) {
    const bool fits = long_index(var) ? oidLength >= var->oidLength : oidLength == var->oidLength;
    if (!fits || !starts_with(oid, oidLength, var->oid, prefix_length(var)))
      continue;
    // Variables that share a prefix (scalars …x.0 and …x.1) are each asked
    // in turn; the first that answers the instance asked for wins.
    if (call_handler(var, oid, oidLength, 1, answer) &&
        VarnockCompare(answer->oid, answer->oidLength, oid, oidLength) == 0)
      return 1;
  }
  return 0;
}

int VarnockHostGetNext(const uint32_t *oid, int32_t oidLength, VarnockAnswer *answer) {
  static const uint32_t kEmpty[1] = {0};
  if (oid == nullptr && oidLength == 0)
    oid = kEmpty; // get-next from the very start
  if (oid == nullptr || answer == nullptr || oidLength < 0)
    return 0;
  for (MibVariable *var : varnock::variables_by_prefix()) {
    const int32_t prefixLength = prefix_length(var);
    const uint32_t *asked;
    int32_t askedLength;
    if (starts_with(oid, oidLength, var->oid, prefixLength)) {
      // The request lies inside this variable: its arcs beyond an instance
      // cannot name another instance of it, so the handler sees at most an
      // instance-long request (any length for a long index).
      asked = oid;
      askedLength = long_index(var) ? oidLength : std::min<int32_t>(oidLength, var->oidLength);
    } else if (VarnockCompare(var->oid, prefixLength, oid, oidLength) < 0) {
      continue; // the variable lies wholly before the request
    } else {
      // The variable lies wholly after the request: ask for its first
      // instance. The raw request could carry arcs that the handler would
      // take for a column and an index of its own.
      asked = var->oid;
      askedLength = prefixLength;
    }
    if (!call_handler(var, asked, askedLength, 0, answer))
      continue;
    // Accept only an instance of this variable (its prefix and at least one
    // arc more) that lies after the request, so that a walk always moves
    // forward and ends.
    if (answer->oidLength <= prefixLength ||
        !starts_with(answer->oid, answer->oidLength, var->oid, prefixLength) ||
        VarnockCompare(answer->oid, answer->oidLength, oid, oidLength) <= 0)
      continue;
    return 1;
  }
  return 0;
}

} // extern "C"
