// What the file system's permissions say about a file.
#pragma once

// True when the file at path exists and users other than its owner may read
// it (through its group or as anybody); false otherwise or when unknown.
bool platform_file_readable_by_others(const char *path);
