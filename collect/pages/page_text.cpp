#include "collect/pages/page_text.h"

#include <cstring>

namespace {

// Copies the line that starts at from: up to the newline or the end of the
// text, at most limit characters, then a NUL.
void copy_line(const char *from, char *line, int limit) {
  int n = 0;
  while (n < limit && from[n] != '\0' && from[n] != '\n') {
    line[n] = from[n];
    ++n;
  }
  line[n] = '\0';
}

bool is_delimiter(char c, const char *delimiters) {
  return c != '\0' && std::strchr(delimiters, c) != nullptr;
}

} // namespace

int html_to_text(const char *source, char *destination) {
  if (source == nullptr || destination == nullptr) {
    return 0;
  }
  bool in_tag = false;
  bool in_entity = false;
  int count = 0;
  char *out = destination;
  for (const char *p = source; *p != '\0'; ++p) {
    if (in_tag) {
      if (*p == '>') {
        in_tag = false;
      }
    } else if (in_entity) {
      if (*p == ';') {
        in_entity = false;
      }
    } else if (*p == '<') {
      in_tag = true;
      if (std::strncmp(p, "<br>", 4) == 0 || std::strncmp(p, "<dd>", 4) == 0) {
        *out++ = '\n';
      }
    } else if (*p == '&') {
      in_entity = true;
    } else {
      *out++ = *p;
      ++count;
    }
  }
  *out = '\0';
  return count;
}

const char *find_label_line(const char *label, const char *text, char *line, int limit) {
  if (label == nullptr || text == nullptr || line == nullptr) {
    return nullptr;
  }
  const char *found = std::strstr(text, label);
  if (found == nullptr) {
    return nullptr;
  }
  copy_line(found, line, limit > 0 ? limit : 0);
  return found;
}

const char *find_label_line_at_start(const char *label, const char *text, char *line, int limit) {
  if (label == nullptr || text == nullptr || line == nullptr) {
    return nullptr;
  }
  const char *first = std::strstr(text, label);
  if (first == nullptr) {
    return nullptr;
  }
  const char *found = first;
  while (found != nullptr && found != text && found[-1] != '\n') {
    // The next occurrence that could start a line begins after a newline.
    const char *newline = std::strchr(found, '\n');
    found = newline == nullptr ? nullptr : std::strstr(newline + 1, label);
  }
  if (found == nullptr) {
    found = first;
  }
  copy_line(found, line, limit > 0 ? limit : 0);
  return found;
}

const char *find_setting_line(const char *label, const char *text, char *line, int limit) {
  if (label == nullptr || text == nullptr || line == nullptr) {
    return nullptr;
  }
  const size_t length = std::strlen(label);
  const char *from = text;
  for (;;) {
    const char *found = std::strstr(from, label);
    if (found == nullptr) {
      return nullptr;
    }
    copy_line(found, line, limit > 0 ? limit : 0);
    if (found[length] != '-') {
      return found;
    }
    // Go on from the '-'; an empty label must still move forward.
    from = found + (length > 0 ? length : 1);
  }
}

int split_fields(const char *delimiters, const char *source, PageFields fields) {
  if (fields == nullptr) {
    return 0;
  }
  for (int i = 0; i < PAGE_FIELD_COUNT; ++i) {
    fields[i][0] = '\0';
  }
  if (source == nullptr) {
    return 0;
  }
  if (delimiters == nullptr) {
    delimiters = "";
  }
  int count = 0;
  const char *p = source;
  while (*p != '\0' && count < PAGE_FIELD_COUNT) {
    while (is_delimiter(*p, delimiters)) {
      ++p;
    }
    if (*p == '\0') {
      break;
    }
    char *field = fields[count];
    int n = 0;
    for (; *p != '\0' && !is_delimiter(*p, delimiters); ++p) {
      if (n < PAGE_FIELD_SIZE - 1) {
        field[n++] = *p;
      }
    }
    field[n] = '\0';
    ++count;
    if (*p != '\0') {
      ++p;
    }
  }
  return count;
}
