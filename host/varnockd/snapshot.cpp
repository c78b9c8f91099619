#include "host/varnockd/snapshot.h"

#include <algorithm>

namespace varnockd {

namespace {

bool less(const HostOid &a, const uint32_t *b, int32_t bLength) {
  return std::lexicographical_compare(a.begin(), a.end(), b, b + bLength);
}

bool less(const uint32_t *a, int32_t aLength, const HostOid &b) {
  return std::lexicographical_compare(a, a + aLength, b.begin(), b.end());
}

} // namespace

const SnapshotEntry *Snapshot::find(const uint32_t *oid, int32_t length) const {
  if (oid == nullptr || length < 0)
    return nullptr;
  auto it = std::lower_bound(entries.begin(), entries.end(), 0,
                             [&](const SnapshotEntry &e, int) { return less(e.oid, oid, length); });
  if (it == entries.end() || less(oid, length, it->oid))
    return nullptr;
  return &*it;
}

const SnapshotEntry *Snapshot::after(const uint32_t *oid, int32_t length) const {
  if (oid == nullptr || length < 0)
    return nullptr;
  auto it = std::upper_bound(entries.begin(), entries.end(), 0,
                             [&](int, const SnapshotEntry &e) { return less(oid, length, e.oid); });
  return it == entries.end() ? nullptr : &*it;
}

const SnapshotEntry *Snapshot::next(const SnapshotEntry *e) const {
  if (e == nullptr || e + 1 >= entries.data() + entries.size())
    return nullptr;
  return e + 1;
}

bool Snapshot::names_known_object(const uint32_t *oid, int32_t length) const {
  return std::any_of(objects.begin(), objects.end(), [&](const HostOid &prefix) {
    return !prefix.empty() && static_cast<int32_t>(prefix.size()) <= length &&
           std::equal(prefix.begin(), prefix.end(), oid);
  });
}

} // namespace varnockd
