// Reading the module's configuration file into the ServerList.
#pragma once

#include <stdint.h>

#include "config/server_entry.h"

// What a "discover" line asks for: whether running servers are to be found
// by themselves, and the credentials (possibly empty) their status pages
// are fetched with.
struct DiscoverSetting {
  int32_t enabled;
  char user[SERVER_NAME_FIELD];
  char password[SERVER_NAME_FIELD];
  char credentials[SERVER_CREDENTIALS_FIELD];
};
// The last file read's setting; all zero before, and without a discover line.
extern DiscoverSetting discover_setting;

// Reads every "apache" line of the file at path into the ServerList, and its
// "discover" line into discover_setting, reporting bad lines. 0 after the whole file was read; -1
// when path is null or the file cannot be opened.
int read_config(const char *path);
