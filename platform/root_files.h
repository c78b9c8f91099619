// Files that only root can have written: the PID files and log directories
// that a distribution's service scripts make for Apache. What they say may
// be believed because nobody else could have put it there.
#pragma once

#include <stddef.h>

// True when path is a directory, not a symbolic link, owned by root, that
// neither its group nor others may write.
bool platform_root_directory(const char *path);

// Reads the start of the file at path into buffer (NUL-terminated, at most
// size - 1 bytes) when the file is a regular file, not a symbolic link,
// owned by root and writable by root alone, in a directory that is
// platform_root_directory. The bytes read, or -1 otherwise. The file is
// opened without following a link and without waiting (a FIFO put in its
// place does not block), and judged by what was opened.
int platform_read_root_file(const char *path, char *buffer, size_t size);

// True when path is a regular file itself (a symbolic link is not).
bool platform_plain_file(const char *path);
