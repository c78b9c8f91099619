// The footprint collector: what each server's processes use, and the disk
// space of its logs and document root.
#pragma once

// Refreshes the footprint columns of every ServerEntry, at most every 20
// seconds. Always 0.
int refresh_footprint(void);
