// Whether a server's answer, as fetch_page returns it, is a page that the
// collectors may read.
#pragma once

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
