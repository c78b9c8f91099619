// The ServerList: every monitored server's entry, doubly linked, in ascending
// port order as the entries were added, and never re-sorted.
#pragma once

#include <stdint.h>

#include "config/server_entry.h"

// Head of the list; null while it is empty.
extern ServerEntry *server_list;

// A new zero-filled entry for port, not yet linked; null when port < 1, the
// port is already listed, or memory is exhausted.
ServerEntry *new_server(int32_t port);
// Links entry in front of the first entry with a port >= its own. 1; -1 for null.
int insert_server(ServerEntry *entry);
// Makes and links an entry from one configuration line. 1, or -1 when refused.
int add_server(int32_t port, const char *user, const char *password, int32_t fileCheckInterval,
               const char *credentials);
// Frees every entry and empties the list (the module's finish).
void free_server_list(void);
// First entry, in list order, whose port equals port; null if none.
ServerEntry *find_server(int32_t port);
// First entry, in list order, whose port is greater than port; null if none.
ServerEntry *find_next_server(int32_t port);
