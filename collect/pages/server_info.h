// The server-info collector: each server's configuration, read from its
// /server-info page and its PID file.
#pragma once

#include "config/server_entry.h"

// Fetches every server's /server-info page, at most once every 300 seconds,
// and stores what it reads. Always 0.
int refresh_server_info(void);

// Reads the server's main process id from its PID file. 0 when a PID file
// could be opened, -1 when none could.
int read_pid_file(ServerEntry *entry);

// Applies the page's field rules to entry: text is a /server-info answer
// already reduced to plain text by html_to_text. Reads nothing else and
// never changes the entry's port.
void parse_server_info(ServerEntry *entry, const char *text);

// Forgets the time of the last refresh, so that the next call runs (tests).
void server_info_reset_for_tests(void);
