// Top-process deltas: the CPU time each process used between the agent's
// previous process snapshot and its current one, and its share of the
// machine's CPU capacity, heaviest user first.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "varnock.h"

// One record of the delta table: the process's record from the current
// snapshot, with cpuTimeReal holding the CPU-time delta, cpuShare the share
// of the CPU capacity over the interval, and reserved4 0.0.
typedef ProcEntry TopDelta;

// Takes a new snapshot from the agent and rebuilds the delta table against the
// snapshot of the previous call. The number of records in the table, or -1
// when an array could not be grown.
int32_t topProcs(void);

// Stores the delta table's record count and a pointer to its first record.
// The table stays owned here and is valid until the next topProcs. Always 1.
int32_t pluginLibGetTopDelta(int32_t *count, TopDelta **table);

// qsort order of the delta table: larger CPU-time delta first; equal or not
// comparable deltas by larger rss first.
int compareTopDelta(const void *a, const void *b);

// The denominator of the shares for an elapsed stamp difference:
// CPUs online (at least 1) x elapsed x 100.
double scaleElapsed(int32_t elapsed);

// Frees every snapshot and the table, as before the first call: when the
// module is finished (a daemon may unload it and load it again).
void topmod_release(void);

// Forgets every snapshot and the table, as before the first call (tests).
void topmod_reset_for_tests(void);

// Replaces the allocator that grows the arrays (tests of the failure paths);
// null restores realloc.
typedef void *(*TopmodRealloc)(void *block, size_t size);
void topmod_set_realloc_for_tests(TopmodRealloc allocator);
