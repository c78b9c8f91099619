// The server-info reader: each server's configuration, read from its
// /server-info page and its PID file. When the page is fetched is the page
// refresh's business (collect/pages/page_refresh.h).
#pragma once

#include "config/server_entry.h"

// Reads the server's main process id from its PID file. 0 when a PID file
// could be opened, -1 when none could.
int read_pid_file(ServerEntry *entry);

// Applies the page's field rules to entry: text is a /server-info answer
// already reduced to plain text by html_to_text. Reads nothing else and
// never changes the entry's port.
void parse_server_info(ServerEntry *entry, const char *text);

// The page that the info refresh fetches.
constexpr char INFO_PAGE_PATH[] = "/server-info";

// Reads a whole, successful /server-info answer of length bytes into entry,
// through the text work block *text (grown with realloc; the caller frees
// it), then the entry's PID file, and notes the log directives and TLS sites
// the page names. PAGE_OK; PAGE_NOT_A_PAGE when it states no server version;
// PAGE_CUT_SHORT when there was no memory to read it.
PageOutcome read_info_page(ServerEntry *entry, const char *answer, int length, char **text);
