// Whether a server's answer, as fetch_page returns it, is a page that the
// collectors may read.
#pragma once

#include <stddef.h>

#include "collect/pages/fetch_page.h"
#include "config/server_entry.h"

// True when answer (length bytes, which may hold NULs) is a whole, successful
// HTTP answer: it begins with a status line "HTTP/d.d 2xx", its header ends
// with an empty line, and when the header gives a Content-Length, the body
// holds at least that many bytes.
//
// Anything else is not the page that was asked for: an error page (401 when
// the credentials are refused, 404, 500), bytes that are not HTTP at all, or
// an answer that was cut off (the server reset the connection, fell silent
// or ran out of time). Reading one would replace what the collectors know
// with whatever labels such a text happens to hold, or lack.
bool http_answer_usable(const char *answer, int length);

// The code of the answer's status line ("HTTP/1.1 401 ..." gives 401), or 0
// when the answer does not begin with a whole status line.
int http_status_code(const char *answer, int length);

// The value of the answer's first header line named name (lower case, with
// its colon: "location:"), cut to size; false when the answer has no whole
// header or no such line.
bool http_header(const char *answer, int length, const char *name, char *value, size_t size);

// True when the answer's header states a Content-Length and the body holds
// at least that many bytes.
bool http_answer_holds_its_length(const char *answer, int length);

// True when the answer, ended as end says, is known to be whole: the server
// closed the connection after it, or it holds its whole Content-Length. An
// answer ended by the receive time-out, the size bound or a failed read may
// be cut anywhere: Apache sends /server-info without a Content-Length, and
// a page cut after some of its settings would set the rest to defaults.
bool http_answer_whole(const char *answer, int length, enum FetchEnd end);

// How a fetch went, for a page's health record, from what fetch_page_ending
// gave: received (its result), answer and end. *httpCode gets the code of
// the answer's status line, 0 when there is none.
//
//   PAGE_CERT_REFUSED    HTTPS: the certificate failed verification
//   PAGE_TLS_FAILED      HTTPS: the handshake failed otherwise
//   PAGE_CONNECT_FAILED  no request went out (received -1)
//   PAGE_HTTP_ERROR      a status line with a code other than 2xx, whole or not
//   PAGE_TIMED_OUT       no whole answer when the receive time-out ran out,
//                        also when nothing came at all
//   PAGE_CUT_SHORT       the answer ended before it was whole: a reset or other
//                        failed read, the 16 MiB bound, no memory to keep it,
//                        a close before any byte, in the header or before the
//                        stated Content-Length
//   PAGE_NOT_A_PAGE      a whole answer with no HTTP status line at all
//   PAGE_OK              a whole 2xx answer: the collector may read it, and
//                        decides itself whether it is the page it asked for
//                        (PAGE_NOT_A_PAGE when it is not)
PageOutcome fetch_outcome(int received, const char *answer, enum FetchEnd end, int32_t *httpCode);
