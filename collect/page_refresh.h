// The fetching half of the server-info and server-status refreshes.
#pragma once

#include "config/server_entry.h"

// Reads one whole, successful answer into entry; *text is a work block that
// the reader may grow and that is freed after the last server. Returns the
// fetch's outcome: PAGE_OK, or PAGE_NOT_A_PAGE when the answer is not the
// page asked for.
typedef PageOutcome (*PageRead)(ServerEntry *entry, const char *answer, int length, char **text);

// Sends every listed server's request for path at once and awaits the
// answers together, then takes them in list order, as if fetched one by
// one: each usable answer goes to read, and each server's outcome is noted
// in its health record. A server whose answer is missing, an error page or
// cut off keeps what it had.
void fetch_and_read_pages(const char *path, PageHealth ServerEntry::*health, PageRead read);
