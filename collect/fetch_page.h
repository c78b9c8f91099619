// The module's HTTP client: one HTTP/1.0 GET with Basic credentials, and the
// server's whole answer (status line, headers, body) as one text.
#pragma once

#include <stdint.h>

enum {
  FETCH_PAGE_RECEIVE_TIMEOUT = 60,         // seconds to wait for more data
  FETCH_PAGE_MAX_BYTES = 16 * 1024 * 1024, // a longer answer is cut here
};

// Fetches path from host (a dotted quad or a name) on port (host byte
// order), sending credentials (Base64 of user:password) as Basic
// authorization. The answer is read until the server closes the connection,
// no data comes for the receive time-out, a read fails, FETCH_PAGE_MAX_BYTES
// have arrived, or the receive time-out has passed since the request went
// out: a server that trickles its answer holds the agent no longer than a
// silent one does.
//
// *page is a heap block of the caller's (or null); it is grown with realloc
// to exactly the answer's length plus one and holds the answer from its
// start, NUL-terminated. The caller frees it. When nothing arrives, *page is
// left as it was.
//
// Returns the number of bytes received (0 or more), or -1 when no request
// could be sent (bad arguments, unknown host, no connection, send failed).
// Uses a module-wide receive buffer: calls must not overlap.
int fetch_page(const char *host, uint16_t port, const char *path, const char *credentials,
               char **page);

// For tests and diagnostics: the seconds fetch_page waits for more data,
// and for the whole answer. 0 or less restores FETCH_PAGE_RECEIVE_TIMEOUT.
void fetch_page_set_receive_timeout(int seconds);
