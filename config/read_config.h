// Reading the module's configuration file into the ServerList.
#pragma once

#include <stdint.h>

#include "config/server_entry.h"

// What a "discover" line asks for: whether running servers are to be found
// by themselves, the credentials (possibly empty) their status pages are
// fetched with, and how they are reached beyond their address and scheme:
// the time-out (the line's, else the file's, else 0 for the module's), and
// for HTTPS the CA to verify against or insecure; and the ports it may look
// at (ports=LIST; portCount 0: every port).
enum { DISCOVER_MAX_PORTS = 64 };
struct DiscoverSetting {
  int32_t enabled;
  int32_t portCount;
  uint16_t ports[DISCOVER_MAX_PORTS];
  char user[SERVER_NAME_FIELD];
  char password[SERVER_NAME_FIELD];
  char credentials[SERVER_CREDENTIALS_FIELD];
  ServerReach reach;
};
// The last file read's setting; all zero before, and without a discover line.
extern DiscoverSetting discover_setting;

// Reads every server line ("apache", "server") of the file at path into the
// ServerList, and its "discover" line into discover_setting, reporting bad
// lines. A server line's logformat= names a format of Apache's or one of the
// file's "logformat" lines above it. 0 after the whole file was read; -1
// when path is null or the file cannot be opened.
int read_config(const char *path);
