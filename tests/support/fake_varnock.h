// A test double of the agent library: the six agent functions, with every
// result under the test's control and every call recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "varnock.h"

namespace fake_varnock {

struct LogLine {
  int32_t level;
  std::string text;
};

// Back to the defaults: version 422, every registration accepted, one CPU,
// an empty process snapshot with stamp 0, no log lines, no registrations.
void reset();

void set_version(int32_t version);
// The position-th call of VarnockInsertIntoVariableList (counted from 1) is
// refused with -1; 0 refuses none.
void refuse_registration_at(int position);
void set_ncpu(int32_t ncpu);
void set_proc_cache(std::vector<ProcEntry> entries, int32_t stamp);

const std::vector<MibVariable *> &registered();
const std::vector<LogLine> &log();
void clear_log();
int proc_cache_calls();

// A ProcEntry with the fields the module reads, everything else zero.
ProcEntry make_proc(int32_t pid, int32_t ppid, const char *name = "proc", double cpuTimeReal = 0.0,
                    uint32_t rss = 0);

} // namespace fake_varnock
