// The process snapshot: one ProcEntry per running process, in ascending pid
// order, taken afresh on every request from the system's process list.
#include <algorithm>
#include <vector>

#include "platform/host/proc_snapshot.h"
#include "varnock.h"

namespace {

// The last snapshot; its records stay valid until the next request.
std::vector<ProcEntry> g_snapshot;

} // namespace

extern "C" {

ProcEntry *VarnockGetProcCache(int32_t *count, int32_t *stamp) {
  const int32_t now = platform_stamp_deciseconds();
  g_snapshot.clear();
  // The snapshot grows as the process list is read. The caller is a module
  // behind a C interface that no exception may cross: a snapshot that cannot
  // be stored whole is reported as an empty one.
  try {
    platform_read_processes(&g_snapshot);
  } catch (...) {
    g_snapshot.clear();
  }
  for (ProcEntry &entry : g_snapshot)
    entry.stamp = now;
  auto byPid = [](const ProcEntry &a, const ProcEntry &b) { return a.pid < b.pid; };
  if (!std::is_sorted(g_snapshot.begin(), g_snapshot.end(), byPid))
    std::sort(g_snapshot.begin(), g_snapshot.end(), byPid);
  if (count != nullptr)
    *count = static_cast<int32_t>(g_snapshot.size());
  if (stamp != nullptr)
    *stamp = now;
  return g_snapshot.data();
}

} // extern "C"
