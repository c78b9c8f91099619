// Reading the module's configuration file into the ServerList.
#pragma once

// Reads every "apache" line of the file at path into the ServerList,
// reporting bad lines. 0 after the whole file was read; -1 when path is null
// or the file cannot be opened.
int read_config(const char *path);
