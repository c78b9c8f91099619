#include "collect/pages/http_answer.h"

#include <cstddef>
#include <cstring>

#include "pluginlib/text.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The code of a status line "HTTP/" digits "." digits, one blank, three
// digits, then the end of the line or a blank before the reason; 0 for any
// other line.
int status_code(const char *p, const char *end) {
  static const char kPrefix[] = "HTTP/";
  const size_t prefix = sizeof kPrefix - 1;
  if (end - p < static_cast<std::ptrdiff_t>(prefix) || std::memcmp(p, kPrefix, prefix) != 0) {
    return 0;
  }
  p += prefix;
  const char *digits = p;
  while (p < end && is_digit(*p)) {
    ++p;
  }
  if (p == digits || p == end || *p != '.') {
    return 0;
  }
  digits = ++p;
  while (p < end && is_digit(*p)) {
    ++p;
  }
  if (p == digits || end - p < 4 || *p != ' ') {
    return 0;
  }
  ++p;
  if (!is_digit(p[0]) || !is_digit(p[1]) || !is_digit(p[2])) {
    return 0;
  }
  const int code = (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
  p += 3;
  return p == end || *p == ' ' || *p == '\r' || *p == '\n' ? code : 0;
}

// The value of the first header line in [header, header_end) named name
// (lower case, with its colon), blanks before it skipped: true with
// [*value, *value_end) set, false when there is none.
bool find_header(const char *header, const char *header_end, const char *name, const char **value,
                 const char **value_end) {
  const size_t name_length = std::strlen(name);
  for (const char *line = header; line < header_end;) {
    const char *eol = static_cast<const char *>(std::memchr(line, '\n', header_end - line));
    const char *line_end = eol != nullptr ? eol : header_end;
    if (static_cast<size_t>(line_end - line) > name_length) {
      size_t i = 0;
      while (i < name_length && ascii_lower(line[i]) == name[i]) {
        ++i;
      }
      if (i == name_length) {
        const char *p = line + name_length;
        while (p < line_end && (*p == ' ' || *p == '\t')) {
          ++p;
        }
        const char *q = line_end;
        while (q > p && (q[-1] == '\r' || q[-1] == ' ' || q[-1] == '\t')) {
          --q;
        }
        *value = p;
        *value_end = q;
        return true;
      }
    }
    line = line_end + 1;
  }
  return false;
}

// The value of a "Content-Length:" header line in [header, header_end), or -1
// when there is none or it is no number.
long long content_length(const char *header, const char *header_end) {
  const char *p = nullptr;
  const char *line_end = nullptr;
  if (!find_header(header, header_end, "content-length:", &p, &line_end)) {
    return -1;
  }
  if (p == line_end || !is_digit(*p)) {
    return -1;
  }
  long long value = 0;
  for (; p < line_end && is_digit(*p); ++p) {
    if (value > (1LL << 40)) {
      return value; // far beyond any page the client keeps
    }
    value = value * 10 + (*p - '0');
  }
  return value;
}

// An answer taken apart: the code of its status line (0 when it has none),
// where its body begins (null when the header never ends) and its
// Content-Length (-1 when it states none).
struct Answer {
  int code = 0;
  const char *body = nullptr;
  long long length = -1;
};

Answer take_apart(const char *answer, int length) {
  Answer a;
  if (answer == nullptr || length <= 0) {
    return a;
  }
  const char *end = answer + length;
  const char *eol = static_cast<const char *>(std::memchr(answer, '\n', length));
  a.code = status_code(answer, eol != nullptr ? eol : end);
  if (a.code == 0 || eol == nullptr) {
    return a; // no status line, or cut off in it
  }
  // The header ends at the first empty line ("\r\n\r\n" or "\n\n").
  for (const char *p = eol; p < end; ++p) {
    if (*p != '\n') {
      continue;
    }
    const char *q = p + 1;
    if (q < end && *q == '\r') {
      ++q;
    }
    if (q < end && *q == '\n') {
      a.body = q + 1;
      break;
    }
  }
  if (a.body != nullptr) {
    a.length = content_length(eol + 1, a.body);
  }
  return a;
}

} // namespace

bool http_answer_usable(const char *answer, int length) {
  const Answer a = take_apart(answer, length);
  if (a.code < 200 || a.code > 299 || a.body == nullptr) {
    return false; // no success, or cut off before any of the page
  }
  return a.length < 0 || answer + length - a.body >= a.length;
}

int http_status_code(const char *answer, int length) { return take_apart(answer, length).code; }

bool http_header(const char *answer, int length, const char *name, char *value, size_t size) {
  const Answer a = take_apart(answer, length);
  if (a.body == nullptr || size == 0) {
    return false;
  }
  const char *start = nullptr;
  const char *end = nullptr;
  if (!find_header(answer, a.body, name, &start, &end)) {
    return false;
  }
  size_t n = static_cast<size_t>(end - start);
  if (n >= size) {
    n = size - 1;
  }
  std::memcpy(value, start, n);
  value[n] = '\0';
  return true;
}

bool http_answer_holds_its_length(const char *answer, int length) {
  const Answer a = take_apart(answer, length);
  return a.body != nullptr && a.length >= 0 && answer + length - a.body >= a.length;
}

bool http_answer_whole(const char *answer, int length, FetchEnd end) {
  return end == FETCH_CLOSED || http_answer_holds_its_length(answer, length);
}

PageOutcome fetch_outcome(int received, const char *answer, FetchEnd end, int32_t *httpCode) {
  *httpCode = 0;
  if (end == FETCH_CERT_REFUSED) {
    return PAGE_CERT_REFUSED;
  }
  if (end == FETCH_TLS_FAILED) {
    return PAGE_TLS_FAILED;
  }
  if (received < 0 || end == FETCH_NOT_SENT) {
    return PAGE_CONNECT_FAILED;
  }
  const int length = answer != nullptr ? received : 0;
  const int code = http_status_code(answer, length);
  *httpCode = code;
  if (code != 0 && (code < 200 || code > 299)) {
    return PAGE_HTTP_ERROR;
  }
  if (!http_answer_whole(answer, length, end)) {
    return end == FETCH_TIMED_OUT ? PAGE_TIMED_OUT : PAGE_CUT_SHORT;
  }
  if (http_answer_usable(answer, length)) {
    return PAGE_OK;
  }
  return code == 0 && length > 0 ? PAGE_NOT_A_PAGE : PAGE_CUT_SHORT;
}
