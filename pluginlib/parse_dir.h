// The directory walk: the size of a directory tree, as the listings report it.
#pragma once

#include <stdint.h>

// Total size in bytes of everything below path, down to depth limit: path
// itself is depth 0, and a directory at depth limit is not listed. Symbolic
// links count as themselves and are not followed. 0 for a null path or one
// that is not a directory.
double WinDirSize(const char *path, int32_t depth, int32_t limit);

// WinDirSize(path, 0, limit) in KB, truncated toward zero.
int32_t WinDirSizeKB(const char *path, int32_t limit);
