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

// How an answer ended. Only an answer that the server ended by closing the
// connection is known to be whole; an answer ended any other way may have
// been cut anywhere, unless it states its length and holds all of it.
enum FetchEnd {
  FETCH_NOT_SENT = 0,    // no request went out (fetch_page gave -1)
  FETCH_CLOSED = 1,      // the server closed the connection
  FETCH_TIMED_OUT = 2,   // the receive time-out ran out first
  FETCH_TOO_LONG = 3,    // FETCH_PAGE_MAX_BYTES arrived and the server had more
  FETCH_READ_FAILED = 4, // a read or the wait for it failed (a reset, say)
  FETCH_NO_MEMORY = 5,   // the page buffer could not grow
};

// fetch_page, also telling in *end (when not null) how the answer ended.
int fetch_page_ending(const char *host, uint16_t port, const char *path, const char *credentials,
                      char **page, enum FetchEnd *end);

// For tests and diagnostics: the seconds fetch_page waits for more data,
// and for the whole answer. 0 or less restores FETCH_PAGE_RECEIVE_TIMEOUT.
void fetch_page_set_receive_timeout(int seconds);
