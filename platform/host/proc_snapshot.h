// The system's process list, as the agent library's snapshot reads it.
#pragma once

#include <stdint.h>

#include <vector>

#include "varnock.h"

// Appends one ProcEntry per running process, in no particular order, with
// the units of varnock.h; the stamp field is left for the caller. Processes
// that cannot be examined are left out or carry only what could be read.
// The machine's idle time stands in a record of pid 0, on POSIX as on
// Windows (its System Idle Process).
void platform_read_processes(std::vector<ProcEntry> *entries);

// A monotonic clock in deciseconds, wrapping in 32 bits: the snapshot's
// stamp, whose differences measure the time between two snapshots.
int32_t platform_stamp_deciseconds(void);
