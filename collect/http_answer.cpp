#include "collect/http_answer.h"

#include <cstddef>
#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// "HTTP/" digits "." digits, one blank, a status code 200 to 299, then the end
// of the line or a blank before the reason.
bool successful_status_line(const char *p, const char *end) {
  static const char kPrefix[] = "HTTP/";
  const size_t prefix = sizeof kPrefix - 1;
  if (end - p < static_cast<std::ptrdiff_t>(prefix) || std::memcmp(p, kPrefix, prefix) != 0) {
    return false;
  }
  p += prefix;
  const char *digits = p;
  while (p < end && is_digit(*p)) {
    ++p;
  }
  if (p == digits || p == end || *p != '.') {
    return false;
  }
  digits = ++p;
  while (p < end && is_digit(*p)) {
    ++p;
  }
  if (p == digits || end - p < 4 || *p != ' ') {
    return false;
  }
  ++p;
  if (p[0] != '2' || !is_digit(p[1]) || !is_digit(p[2])) {
    return false;
  }
  p += 3;
  return p == end || *p == ' ' || *p == '\r' || *p == '\n';
}

// The value of a "Content-Length:" header line in [header, header_end), or -1
// when there is none or it is no number.
long long content_length(const char *header, const char *header_end) {
  static const char kName[] = "content-length:";
  const size_t name = sizeof kName - 1;
  for (const char *line = header; line < header_end;) {
    const char *eol = static_cast<const char *>(std::memchr(line, '\n', header_end - line));
    const char *line_end = eol != nullptr ? eol : header_end;
    if (static_cast<size_t>(line_end - line) > name) {
      size_t i = 0;
      while (i < name && lower(line[i]) == kName[i]) {
        ++i;
      }
      if (i == name) {
        const char *p = line + name;
        while (p < line_end && (*p == ' ' || *p == '\t')) {
          ++p;
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
    }
    line = line_end + 1;
  }
  return -1;
}

} // namespace

bool http_answer_usable(const char *answer, int length) {
  if (answer == nullptr || length <= 0) {
    return false;
  }
  const char *end = answer + length;
  const char *eol = static_cast<const char *>(std::memchr(answer, '\n', length));
  if (!successful_status_line(answer, eol != nullptr ? eol : end)) {
    return false;
  }
  if (eol == nullptr) {
    return false; // cut off in its status line
  }
  // The header ends at the first empty line ("\r\n\r\n" or "\n\n").
  const char *body = nullptr;
  for (const char *p = eol; p < end; ++p) {
    if (*p != '\n') {
      continue;
    }
    const char *q = p + 1;
    if (q < end && *q == '\r') {
      ++q;
    }
    if (q < end && *q == '\n') {
      body = q + 1;
      break;
    }
  }
  if (body == nullptr) {
    return false; // cut off in its header, before any of the page
  }
  const long long expected = content_length(eol + 1, body);
  return expected < 0 || end - body >= expected;
}
