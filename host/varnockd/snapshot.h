// One collection's answers: every variable instance the modules answered, in
// ascending OID order, never changed once published. The SNMP side answers
// gets and get-nexts from it without calling any module.
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>
#include <utility>
#include <vector>

namespace varnockd {

using HostOid = std::vector<uint32_t>;

struct SnapshotEntry {
  HostOid oid;                  // the instance
  uint8_t type = 0;             // the descriptor's VARNOCK_TYPE_*
  int32_t descriptorLength = 0; // arcs of the descriptor that answered
  bool longIndex = false;       // the descriptor's instances may be longer
  std::string value;            // the value's bytes
  std::string variable;         // the descriptor's name, for the log
};

struct Snapshot {
  std::vector<SnapshotEntry> entries; // ascending, each OID once
  // Every registered descriptor's OID without its last arc: a request under
  // one of them names an object that exists, whatever its instance.
  std::vector<HostOid> objects;
  time_t began = 0; // wall-clock start of the collection, for the log
  // The subtrees of the modules in use, as SNMP should serve them, and how
  // many reloads of the modules lie behind them (0: as started).
  std::vector<std::pair<std::string, HostOid>> subtrees;
  unsigned generation = 0;

  // The entry of exactly this OID, or null.
  const SnapshotEntry *find(const uint32_t *oid, int32_t length) const;
  // The first entry after this OID, or null.
  const SnapshotEntry *after(const uint32_t *oid, int32_t length) const;
  // The entry after e, or null.
  const SnapshotEntry *next(const SnapshotEntry *e) const;
  bool names_known_object(const uint32_t *oid, int32_t length) const;
};

} // namespace varnockd
