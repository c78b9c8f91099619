// The server-status reader: each server's uptime, totals, workers and
// scoreboard, read from its /server-status?auto page. When the page is
// fetched is the page refresh's business (collect/pages/page_refresh.h).
#pragma once

#include <stdint.h>

#include <vector>

#include "config/server_entry.h"

enum {
  STATUS_LINE_LIMIT = 8192, // characters of a page line that are read
};

// The page that the status refresh fetches.
constexpr char STATUS_PAGE_PATH[] = "/server-status?auto";

// The page layout to read the status page text by: the entry's server
// generation when its version is known (from the info page); otherwise 2
// when the page states an "Apache/2." ServerVersion or carries 2.x's
// "BusyWorkers:" or "IdleWorkers:" line, else 1.
int status_page_generation(const ServerEntry *entry, const char *text);

// Reads one status page, already reduced to plain text, into entry: the
// totals, the uptime, the busy and idle workers (by the labels of
// status_page_generation) and the seven scoreboard counts. A label that
// is missing, or a line with too few tokens, leaves its field unchanged.
// Then reads the page's further items into entry->extras
// (parse_status_extras), and its balancer members (parse_balancer_members).
void parse_server_status(ServerEntry *entry, const char *text);

// Replaces entry->extras with what the page (plain text) says beyond the
// original fields, whatever the server generation: each item whose label
// starts a line and is followed by a value is read and marked present (the
// first such line wins); every other item is absent. Numbers are read as
// page_u64 reads them, loads and the CPU load as page_hundredths; the
// scoreboard gives the counts of 'I', 'C' and '.' and its whole length.
void parse_status_extras(ServerEntry *entry, const char *text);

// Reads a whole, successful answer of length bytes into entry, through the
// text work block *text (grown with realloc; the caller frees it): PAGE_OK,
// PAGE_NOT_A_PAGE when it carries no status label, or PAGE_CUT_SHORT when
// there was no memory to read it.
PageOutcome read_status_page(ServerEntry *entry, const char *answer, int length, char **text);

// The HTML status page (without "?auto"), which the footprint asks for when
// a server's main process cannot be found otherwise.
constexpr char STATUS_HTML_PAGE_PATH[] = "/server-status";

// The worker process ids that an HTML status page lists, each once, at most
// 256: the second cell of each table row whose first cell is a slot number
// ("3", the event MPM's process table) or a server number and generation
// ("3-0", the worker table). Rows such as the process table's "Sum" are
// passed over.
std::vector<int32_t> status_page_pids(const char *html);
