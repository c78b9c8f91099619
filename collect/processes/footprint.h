// The footprint collector: what each server's processes use, and the disk
// space of its logs and document root.
#pragma once

#include <stdint.h>

// Refreshes the footprint columns of every ServerEntry, at most every 20
// seconds. Always 0.
int refresh_footprint(void);

// Gives back the storage kept from one refresh to the next (the module's
// finish); the next refresh makes it again.
void footprint_release(void);

// Size of the file at path in KB (bytes / 1024, truncated). 0 with the size
// stored in *kb; -1, *kb untouched, for a null argument, a file that cannot
// be examined, or a directory.
int file_size_kb(const char *path, int32_t *kb);

// The machine's total physical memory in KB; 0 when unknown.
uint32_t physical_memory_kb(void);

// Forgets the time of the last refresh, so that the next call runs (tests).
void footprint_reset_for_tests(void);
