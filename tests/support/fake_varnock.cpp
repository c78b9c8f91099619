#include "tests/support/fake_varnock.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

struct State {
  int32_t version = VARNOCK_VERSION;
  int refused_position = 0;
  int32_t ncpu = 1;
  std::vector<ProcEntry> procs;
  int32_t stamp = 0;
  std::vector<MibVariable *> registered;
  std::vector<fake_varnock::LogLine> log;
  int proc_cache_calls = 0;
  int insert_calls = 0;
};

State &state() {
  static State s;
  return s;
}

} // namespace

namespace fake_varnock {

void reset() { state() = State{}; }
void set_version(int32_t version) { state().version = version; }
void refuse_registration_at(int position) { state().refused_position = position; }
void set_ncpu(int32_t ncpu) { state().ncpu = ncpu; }
void set_proc_cache(std::vector<ProcEntry> entries, int32_t stamp) {
  state().procs = std::move(entries);
  state().stamp = stamp;
}
const std::vector<MibVariable *> &registered() { return state().registered; }
const std::vector<LogLine> &log() { return state().log; }
void clear_log() { state().log.clear(); }
int proc_cache_calls() { return state().proc_cache_calls; }

ProcEntry make_proc(int32_t pid, int32_t ppid, const char *name, double cpuTimeReal, uint32_t rss) {
  ProcEntry e;
  std::memset(&e, 0, sizeof e);
  e.pid = pid;
  e.ppid = ppid;
  std::snprintf(e.name, sizeof e.name, "%s", name);
  e.cpuTimeReal = cpuTimeReal;
  e.rss = rss;
  return e;
}

} // namespace fake_varnock

extern "C" {

int32_t VarnockGetVarnockVersion(void) { return state().version; }

int32_t VarnockInsertIntoVariableList(MibVariable *var) {
  State &s = state();
  ++s.insert_calls;
  if (s.refused_position != 0 && s.insert_calls == s.refused_position) {
    return -1;
  }
  s.registered.push_back(var);
  return 0;
}

int32_t VarnockCompare(const uint32_t *a, int32_t aLength, const uint32_t *b, int32_t bLength) {
  const int32_t n = aLength < bLength ? aLength : bLength;
  for (int32_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) {
      return a[i] < b[i] ? -1 : 1;
    }
  }
  return aLength == bLength ? 0 : (aLength < bLength ? -1 : 1);
}

ProcEntry *VarnockGetProcCache(int32_t *count, int32_t *stamp) {
  State &s = state();
  ++s.proc_cache_calls;
  *count = static_cast<int32_t>(s.procs.size());
  *stamp = s.stamp;
  return s.procs.data();
}

int32_t VarnockGetNcpuOnline(void) { return state().ncpu; }

void VarnockSyslog(int32_t level, const char *format, ...) {
  char line[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  state().log.push_back({level, line});
}

} // extern "C"
