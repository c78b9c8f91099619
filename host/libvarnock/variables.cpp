// The list of registered variables: what modules offer through
// VarnockInsertIntoVariableList, and the OID order used to walk them.
#include "host/libvarnock/variables.h"

#include <algorithm>

#include "varnock_host.h"

namespace varnock {
namespace {

std::vector<MibVariable *> g_registered;
std::vector<MibVariable *> g_by_prefix;
bool g_sorted = true;

bool same_oid(const MibVariable *a, const MibVariable *b) {
  return VarnockCompare(a->oid, a->oidLength, b->oid, b->oidLength) == 0;
}

} // namespace

const std::vector<MibVariable *> &registered_variables() { return g_registered; }

const std::vector<MibVariable *> &variables_by_prefix() {
  if (!g_sorted) {
    // Registration reserves room for every variable here, so this copy
    // allocates nothing and cannot fail; the sort falls back to a slower
    // merge when it gets no buffer.
    g_by_prefix = g_registered;
    // Ascending by prefix; variables that share a prefix stand in the order
    // of their whole OIDs.
    std::stable_sort(
        g_by_prefix.begin(), g_by_prefix.end(), [](const MibVariable *a, const MibVariable *b) {
          int byPrefix = VarnockCompare(a->oid, prefix_length(a), b->oid, prefix_length(b));
          if (byPrefix != 0)
            return byPrefix < 0;
          return VarnockCompare(a->oid, a->oidLength, b->oid, b->oidLength) < 0;
        });
    g_sorted = true;
  }
  return g_by_prefix;
}

bool starts_with(const uint32_t *oid, int32_t oidLength, const uint32_t *prefix,
                 int32_t prefixLength) {
  if (prefixLength < 0 || oidLength < prefixLength)
    return false;
  return std::equal(prefix, prefix + prefixLength, oid);
}

} // namespace varnock

extern "C" {

int32_t VarnockInsertIntoVariableList(MibVariable *var) {
  if (var == nullptr || var->oidLength == 0 || var->oidLength > VARNOCK_MAX_OID_LEN ||
      var->handler == nullptr)
    return -1;
  auto &registered = varnock::g_registered;
  for (const MibVariable *known : registered) {
    if (varnock::same_oid(known, var))
      return -1;
  }
  // The module calls through a C interface that no exception may cross: a
  // variable that cannot be stored is refused.
  try {
    varnock::g_by_prefix.reserve(registered.size() + 1);
    registered.push_back(var);
  } catch (...) {
    return -1;
  }
  varnock::g_sorted = false;
  return 0;
}

int32_t VarnockCompare(const uint32_t *a, int32_t aLength, const uint32_t *b, int32_t bLength) {
  // A missing OID or a negative length counts as the empty OID.
  if (a == nullptr || aLength < 0)
    aLength = 0;
  if (b == nullptr || bLength < 0)
    bLength = 0;
  int32_t common = std::min(aLength, bLength);
  for (int32_t i = 0; i < common; ++i) {
    if (a[i] != b[i])
      return a[i] < b[i] ? -1 : 1;
  }
  if (aLength == bLength)
    return 0;
  return aLength < bLength ? -1 : 1;
}

size_t VarnockHostVariableCount(void) { return varnock::g_registered.size(); }

MibVariable *VarnockHostVariableAt(size_t index) {
  if (index >= varnock::g_registered.size())
    return nullptr;
  return varnock::g_registered[index];
}

// The walk (walk.cpp) hands a long-index handler the whole request and takes
// instances of any length beyond its descriptor.
int32_t VarnockHostLongIndex(void) { return 1; }

void VarnockHostClearVariables(void) { VarnockHostForgetVariablesFrom(0); }

void VarnockHostForgetVariablesFrom(size_t first) {
  VarnockHostForgetVariables(first, varnock::g_registered.size());
}

void VarnockHostForgetVariables(size_t first, size_t count) {
  auto &registered = varnock::g_registered;
  if (first >= registered.size() || count == 0)
    return;
  const size_t last = count < registered.size() - first ? first + count : registered.size();
  registered.erase(registered.begin() + static_cast<std::ptrdiff_t>(first),
                   registered.begin() + static_cast<std::ptrdiff_t>(last));
  varnock::g_by_prefix.clear();
  varnock::g_sorted = registered.empty();
}

} // extern "C"
