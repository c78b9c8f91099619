// The module's HTTP client: one HTTP/1.0 GET with Basic credentials, and the
// server's whole answer (status line, headers, body) as one text.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "config/server_entry.h"

enum {
  FETCH_PAGE_RECEIVE_TIMEOUT = 60,         // seconds to wait for more data
  FETCH_PAGE_MAX_BYTES = 16 * 1024 * 1024, // a longer answer is cut here
  // The bytes that all the answers of one PageFetches may hold together,
  // however many servers it asks: past it the largest answer is cut.
  FETCH_PAGES_MAX_BYTES = 2 * FETCH_PAGE_MAX_BYTES,
  // What is kept of an answer cut for the shared bound: enough for its
  // status line and headers.
  FETCH_PAGE_CUT_KEEP = 4096,
};

// Fetches path from host (a dotted quad or a name) on port (host byte
// order), sending credentials (Base64 of user:password) as Basic
// authorization. The answer is read until the server closes the connection,
// no data comes for the receive time-out, a read fails, FETCH_PAGE_MAX_BYTES
// have arrived, or the receive time-out has passed since the request went
// out: a server that trickles its answer holds the agent no longer than a
// silent one does. A connection gets the receive time-out to be made.
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
  // HTTPS only; no request went out (fetch_page gave -1):
  FETCH_CERT_REFUSED = 6, // the server's certificate failed verification
  FETCH_TLS_FAILED = 7,   // the TLS handshake failed otherwise
};

// fetch_page, also telling in *end (when not null) how the answer ended.
int fetch_page_ending(const char *host, uint16_t port, const char *path, const char *credentials,
                      char **page, enum FetchEnd *end);

// For tests and diagnostics: the seconds fetch_page waits for more data,
// and for the whole answer. 0 or less restores FETCH_PAGE_RECEIVE_TIMEOUT.
void fetch_page_set_receive_timeout(int seconds);
// The receive time-out in force, in seconds.
int fetch_page_receive_timeout(void);

// The fetches of one refresh, made together: every connection is begun (in
// the order added) and every request sent as soon as its connection is
// made, while all the answers are awaited at once, each until its server
// closes, a read fails, FETCH_PAGE_MAX_BYTES have arrived or the receive
// time-out has passed since its own request went out. A connection that is
// not made within the receive time-out fails as the system's connect
// time-out would make it fail. So a refresh with any number of silent
// servers waits one receive time-out, not one per server.
//
// The answers together never hold more than FETCH_PAGES_MAX_BYTES: when one
// more receive would pass it, the answer holding the most is cut there (it
// ends as FETCH_TOO_LONG, keeping its first FETCH_PAGE_CUT_KEEP bytes), so a
// refresh's memory does not grow with the number of servers that send too
// much.
//
// The answers are then taken in the order added. Taking an answer first
// writes the log lines that fetch_page would have written for it; they are
// held back until then, so that the log reads as if the fetches had been
// made one after the other. Uses the module-wide receive buffer, as
// fetch_page does: runs must not overlap.
class PageFetches {
public:
  // Room for count requests. Without memory for them every request is
  // taken as one that could not be sent.
  explicit PageFetches(size_t count);
  ~PageFetches();
  PageFetches(const PageFetches &) = delete;
  PageFetches &operator=(const PageFetches &) = delete;

  // Adds a request with fetch_page's arguments. The texts must outlive the
  // run. page may be null: the answer then lives in a block of this object,
  // freed with it; a caller's block is grown as fetch_page grows it.
  void add(const char *host, uint16_t port, const char *path, const char *credentials,
           char **page = nullptr);

  // Adds a request for path to the server of entry, reached as its reach
  // says (address, HTTP or HTTPS, time-out; an apache line's entry as
  // 127.0.0.1 over HTTP), with its credentials unless withhold is true (no
  // Authorization line then). The entry must outlive the run; its TLS state
  // is kept in it for the next fetch.
  void add(ServerEntry *entry, const char *path, char **page = nullptr, bool withhold = false);

  // Sends every request and waits for every answer. When progress is given,
  // it is called during the wait (never while a receive is half done):
  // after each wake in which an answer ended, and at least every tenth of a
  // second meanwhile, with news true when an answer has ended since its
  // last call.
  // It may take and release the answers that have ended.
  typedef void (*Progress)(void *context, bool news);
  void run(Progress progress = nullptr, void *context = nullptr);

  // Whether the i-th fetch is over (its answer may be taken).
  bool ended(size_t i) const;

  // The i-th answer: writes its held-back log lines (drops them when
  // quiet), then gives fetch_page's result, the answer in *page
  // (NUL-terminated; null when nothing came into a block of this object)
  // and how it ended in *end.
  int take(size_t i, const char **page, enum FetchEnd *end, bool quiet = false);
  // Frees the i-th answer's block once it has been read (a caller's block
  // is left alone); its bytes no longer count toward the shared bound.
  void release(size_t i);

private:
  struct Fetch;
  std::unique_ptr<Fetch[]> fetches_;
  size_t capacity_ = 0;
  size_t size_ = 0;
  size_t held_ = 0; // bytes of every answer received and not released
  bool make_room(Fetch *asking, size_t more);
};
