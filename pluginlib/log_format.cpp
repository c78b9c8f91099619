// Apache access-log formats. A LogFormat string compiles into a list of
// steps, each either a literal (text that the line must hold at that point)
// or a directive (a field of the line). A directive's field runs up to the
// literal that follows it in the format, so that fields with blanks inside
// ("%t", the request line) are taken whole; a directive at the end of the
// format takes the rest of the line. A field between two quotes ends at a
// quote that is not escaped, as Apache writes a quote inside %r or %i as
// \". Only the status, the bytes sent, the time taken and the virtual host
// are converted; every other field is only stepped over.
#include "pluginlib/log_format.h"

#include <string.h>

namespace {

// LogFormatStep::kind
enum : uint8_t {
  STEP_LITERAL,      // the line holds `literal` here
  STEP_FIELD,        // a directive's field, up to the next literal
  STEP_QUOTED_FIELD, // the same between quotes: \" inside does not end it
};

// LogFormatStep::field: what a directive's field is converted to.
enum : uint8_t {
  FIELD_SKIP,
  FIELD_STATUS,
  FIELD_BYTES,
  FIELD_MICROS,
  FIELD_MILLIS,
  FIELD_SECONDS,
  FIELD_VHOST,
  FIELD_KINDS,
};

struct Nickname {
  const char *name;
  const char *format;
};

// Apache's nicknames as its own default configuration defines them. A
// server's configuration may define them otherwise (Debian's combined logs
// %O instead of %b); the definitions that the info page shows come first,
// these only stand in when there is none.
const Nickname kNicknames[] = {
    {"common", "%h %l %u %t \\\"%r\\\" %>s %b"},
    {"combined", "%h %l %u %t \\\"%r\\\" %>s %b \\\"%{Referer}i\\\" \\\"%{User-Agent}i\\\""},
    {"vhost_combined",
     "%v:%p %h %l %u %t \\\"%r\\\" %>s %O \\\"%{Referer}i\\\" \\\"%{User-Agent}i\\\""},
    {"combinedio",
     "%h %l %u %t \\\"%r\\\" %>s %b \\\"%{Referer}i\\\" \\\"%{User-Agent}i\\\" %I %O"},
    {"referer", "%{Referer}i -> %U"},
    {"agent", "%{User-agent}i"},
};

// A directive that gives a counted field, and how much it is preferred
// over another that gives the same (%>s over %s, %O over %b, the finer
// time over the coarser, %v over %V): higher wins.
struct Counted {
  uint8_t field;
  int rank;
};

Counted counted_field(char letter, char modifier, const std::string &param) {
  switch (letter) {
  case 's':
    return {FIELD_STATUS, modifier == '>' ? 3 : modifier == '<' ? 1 : 2};
  case 'O':
    return {FIELD_BYTES, 3};
  case 'b':
    return {FIELD_BYTES, 2};
  case 'B':
    return {FIELD_BYTES, 1};
  case 'D':
    return {FIELD_MICROS, 4};
  case 'T':
    if (param.empty() || param == "s") {
      return {FIELD_SECONDS, 1};
    }
    if (param == "ms") {
      return {FIELD_MILLIS, 2};
    }
    if (param == "us") {
      return {FIELD_MICROS, 3};
    }
    return {FIELD_SKIP, 0};
  case 'v':
    return {FIELD_VHOST, 2};
  case 'V':
    return {FIELD_VHOST, 1};
  default:
    return {FIELD_SKIP, 0};
  }
}

uint32_t gives_of(uint8_t field) {
  switch (field) {
  case FIELD_STATUS:
    return LOG_GIVES_STATUS;
  case FIELD_BYTES:
    return LOG_GIVES_BYTES;
  case FIELD_MICROS:
  case FIELD_MILLIS:
  case FIELD_SECONDS:
    return LOG_GIVES_TIME;
  case FIELD_VHOST:
    return LOG_GIVES_VHOST;
  default:
    return 0;
  }
}

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Reads one directive after its '%': conditions (digits, commas, '!'),
// '<' or '>', a {param}, then the letter (or '^' and two letters, as in
// %^ti). Returns the position after it, or null when it is malformed.
const char *read_directive(const char *p, char *letter, char *modifier, std::string *param) {
  *modifier = '\0';
  param->clear();
  for (;;) {
    const char c = *p;
    if (c == '!' || c == ',' || (c >= '0' && c <= '9')) {
      ++p;
    } else if (c == '<' || c == '>') {
      *modifier = c;
      ++p;
    } else if (c == '{') {
      const char *close = strchr(p + 1, '}');
      if (close == nullptr) {
        return nullptr;
      }
      param->assign(p + 1, static_cast<size_t>(close - p - 1));
      p = close + 1;
    } else if (c == '^') {
      if (!is_letter(p[1]) || !is_letter(p[2])) {
        return nullptr;
      }
      *letter = '^';
      return p + 3;
    } else if (is_letter(c)) {
      *letter = c;
      return p + 1;
    } else {
      return nullptr;
    }
  }
}

// Literals are a few bytes long: a loop beats a call to memcmp.
inline bool same(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) {
      return false;
    }
  }
  return true;
}

// Where `literal` first stands in [from, end), or null.
const char *find_literal(const char *from, const char *end, const std::string &literal) {
  const size_t n = literal.size();
  const char first = literal[0];
  while (static_cast<size_t>(end - from) >= n) {
    const char *hit =
        static_cast<const char *>(memchr(from, first, static_cast<size_t>(end - from) - n + 1));
    if (hit == nullptr) {
      return nullptr;
    }
    if (same(hit + 1, literal.data() + 1, n - 1)) {
      return hit;
    }
    from = hit + 1;
  }
  return nullptr;
}

// The same for a field inside quotes, whose literal starts with '"': a
// backslash escapes the byte after it, so \" and \\ are the field's own.
const char *find_closing_quote(const char *from, const char *end, const std::string &literal) {
  const size_t n = literal.size();
  while (from < end) {
    const char *quote =
        static_cast<const char *>(memchr(from, '"', static_cast<size_t>(end - from)));
    if (quote == nullptr) {
      return nullptr;
    }
    // An odd run of backslashes before the quote escapes it. The run cannot
    // reach back past `from`: that is the field's start, or just after a
    // quote.
    size_t backslashes = 0;
    while (quote - backslashes > from && quote[-1 - static_cast<ptrdiff_t>(backslashes)] == '\\') {
      ++backslashes;
    }
    if (backslashes % 2 == 0 && static_cast<size_t>(end - quote) >= n &&
        same(quote + 1, literal.data() + 1, n - 1)) {
      return quote;
    }
    from = quote + 1;
  }
  return nullptr;
}

// Decimal digits only, at most 20 of them, without overflow.
bool read_number(const char *p, const char *end, uint64_t *out) {
  if (p == end || end - p > 20) {
    return false;
  }
  uint64_t value = 0;
  for (; p < end; ++p) {
    const unsigned digit = static_cast<unsigned char>(*p) - '0';
    if (digit > 9 || value > (UINT64_MAX - digit) / 10) {
      return false;
    }
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

bool scale(uint64_t value, uint64_t factor, uint64_t *out) {
  if (value > UINT64_MAX / factor) {
    return false;
  }
  *out = value * factor;
  return true;
}

bool convert(uint8_t field, const char *p, const char *end, LogRecord *record) {
  uint64_t value = 0;
  switch (field) {
  case FIELD_STATUS:
    if (end - p != 3 || !read_number(p, end, &value) || value < 100 || value > 599) {
      return false;
    }
    record->status = static_cast<int32_t>(value);
    return true;
  case FIELD_BYTES:
    // Apache writes "-" for a response without a body under %b.
    if (end - p == 1 && *p == '-') {
      record->bytes = 0;
      return true;
    }
    return read_number(p, end, &record->bytes);
  case FIELD_MICROS:
    return read_number(p, end, &record->micros);
  case FIELD_MILLIS:
    return read_number(p, end, &value) && scale(value, 1000, &record->micros);
  case FIELD_SECONDS:
    return read_number(p, end, &value) && scale(value, 1000000, &record->micros);
  case FIELD_VHOST:
    record->vhost = p;
    record->vhostLength = static_cast<size_t>(end - p);
    return true;
  default:
    return true;
  }
}

} // namespace

const char *log_format_nickname(const char *name) {
  if (name == nullptr) {
    return nullptr;
  }
  for (const Nickname &nickname : kNicknames) {
    if (strcmp(nickname.name, name) == 0) {
      return nickname.format;
    }
  }
  return nullptr;
}

bool log_format_compile(const char *format, LogFormat *out) {
  out->steps.clear();
  out->gives = 0;
  if (format == nullptr || *format == '\0') {
    return false;
  }
  std::vector<LogFormatStep> steps;
  std::vector<int> ranks; // per step: the rank of the counted field it gives
  std::string literal;
  std::string param;
  auto end_literal = [&]() {
    if (!literal.empty()) {
      steps.push_back({STEP_LITERAL, FIELD_SKIP, literal});
      ranks.push_back(0);
      literal.clear();
    }
  };
  for (const char *p = format; *p != '\0';) {
    if (*p == '\\') {
      // The escapes that LogFormat takes; any other backslash is kept.
      const char next = p[1];
      if (next == '"' || next == '\\') {
        literal += next;
        p += 2;
      } else if (next == 't') {
        literal += '\t';
        p += 2;
      } else if (next == 'n') {
        // A record over two lines can never be read line by line.
        return false;
      } else {
        literal += '\\';
        ++p;
      }
      continue;
    }
    if (*p != '%') {
      literal += *p++;
      continue;
    }
    if (p[1] == '%') {
      literal += '%';
      p += 2;
      continue;
    }
    char letter = '\0';
    char modifier = '\0';
    p = read_directive(p + 1, &letter, &modifier, &param);
    if (p == nullptr) {
      return false;
    }
    if (literal.empty() && !steps.empty()) {
      // Two directives with nothing between them: the line cannot tell
      // where one ends, so a single blank is taken to part them.
      literal = " ";
    }
    end_literal();
    const Counted counted = counted_field(letter, modifier, param);
    steps.push_back({STEP_FIELD, counted.field, std::string()});
    ranks.push_back(counted.rank);
  }
  end_literal();

  // Of several directives that give the same field, the preferred one
  // (the first of equal rank) is converted; the others are stepped over.
  for (uint8_t field = FIELD_STATUS; field < FIELD_KINDS; ++field) {
    const uint32_t gives = gives_of(field);
    int best = -1;
    for (size_t i = 0; i < steps.size(); ++i) {
      if (steps[i].kind == STEP_FIELD && gives_of(steps[i].field) == gives &&
          (best < 0 || ranks[i] > ranks[static_cast<size_t>(best)])) {
        best = static_cast<int>(i);
      }
    }
    for (size_t i = 0; i < steps.size(); ++i) {
      if (steps[i].kind == STEP_FIELD && gives_of(steps[i].field) == gives &&
          static_cast<int>(i) != best) {
        steps[i].field = FIELD_SKIP;
      }
    }
    if (best >= 0) {
      out->gives |= gives;
    }
  }

  // A field with a quote on either side ends at an unescaped quote.
  for (size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].kind == STEP_FIELD && i > 0 && i + 1 < steps.size() &&
        steps[i - 1].literal.back() == '"' && steps[i + 1].literal[0] == '"') {
      steps[i].kind = STEP_QUOTED_FIELD;
    }
  }
  if (out->gives == 0) {
    return false;
  }
  out->steps = std::move(steps);
  return true;
}

bool log_line_parse(const LogFormat &format, const char *line, size_t length, LogRecord *record) {
  record->status = 0;
  record->bytes = 0;
  record->micros = 0;
  record->vhost = nullptr;
  record->vhostLength = 0;
  if (line == nullptr || format.steps.empty()) {
    return false;
  }
  const char *p = line;
  const char *end = line + length;
  // A line that ended in CR LF.
  if (p < end && end[-1] == '\r') {
    --end;
  }
  const std::vector<LogFormatStep> &steps = format.steps;
  const size_t count = steps.size();
  for (size_t i = 0; i < count; ++i) {
    const LogFormatStep &step = steps[i];
    if (step.kind == STEP_LITERAL) {
      const size_t n = step.literal.size();
      if (static_cast<size_t>(end - p) < n || !same(p, step.literal.data(), n)) {
        return false;
      }
      p += n;
      continue;
    }
    // Where the field ends, and where the line goes on after the literal
    // that ends it (which the search has matched already).
    const char *field_end;
    const char *after;
    if (i + 1 == count) {
      field_end = end; // the last directive takes the rest of the line
      after = end;
    } else {
      const std::string &next = steps[i + 1].literal;
      if (i + 2 == count) {
        // The format's closing literal must end the line: look for it
        // there, so that anything inside the field cannot end it early.
        if (static_cast<size_t>(end - p) < next.size() ||
            !same(end - next.size(), next.data(), next.size())) {
          return false;
        }
        field_end = end - next.size();
      } else if (step.kind == STEP_QUOTED_FIELD) {
        field_end = find_closing_quote(p, end, next);
      } else {
        field_end = find_literal(p, end, next);
      }
      if (field_end == nullptr) {
        return false;
      }
      after = field_end + next.size();
      ++i;
    }
    if (step.field != FIELD_SKIP && !convert(step.field, p, field_end, record)) {
      return false;
    }
    p = after;
  }
  return p == end;
}
