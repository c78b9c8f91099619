#include "pluginlib/config_line.h"

#include <cstdio>
#include <cstring>

#include "platform/fs.h"
#include "varnock.h"

namespace {

// One fgets call reads at most this many characters, the line feed included.
constexpr int kPieceChars = 510;

bool is_separator(char c) { return c == ' ' || c == '\t'; }

// Drops a CR that stands right before a line feed, as reading in text mode
// does on Windows, so that a file edited there reads the same everywhere. A
// piece that ends in CR at its size limit takes the line feed that follows,
// which text mode would have delivered in place of the CR.
void drop_carriage_return(char *line, FILE *file) {
  const size_t length = std::strlen(line);
  if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') {
    line[length - 2] = '\n';
    line[length - 1] = '\0';
  } else if (length == static_cast<size_t>(kPieceChars) && line[length - 1] == '\r') {
    const int next = std::getc(file);
    if (next == '\n') {
      line[length - 1] = '\n';
    } else if (next != EOF) {
      std::ungetc(next, file);
    }
  }
}

} // namespace

FILE *open_text_file(const char *path) {
  // A directory opens for reading on POSIX systems and then reads as an empty
  // file; it is no text file, so it is refused like one that cannot be opened.
  FILE *file = path != nullptr && !platform_is_directory(path) ? std::fopen(path, "r") : nullptr;
  if (file == nullptr) {
    std::fprintf(stderr, "varnock: unable to open file %s\n", path != nullptr ? path : "(null)");
  }
  return file;
}

int next_config_line(FILE *file, ConfigFields fields, int *line_number) {
  char line[CONFIG_FIELD_SIZE];
  return next_config_line_text(file, fields, line_number, line);
}

int next_config_line_text(FILE *file, ConfigFields fields, int *line_number, char *line) {
  for (;;) {
    if (std::fgets(line, kPieceChars + 1, file) == nullptr) {
      return -1;
    }
    drop_carriage_return(line, file);
    if (line_number != nullptr) {
      ++*line_number;
    }
    if (line[0] == '#' || line[0] == '\n') {
      continue;
    }
    const int count = tokenize_line(line, fields);
    if (count > 0) {
      line[std::strcspn(line, "\n")] = '\0';
      return count;
    }
  }
}

int tokenize_line(const char *text, ConfigFields fields) {
  for (int i = 0; i < CONFIG_FIELD_COUNT; ++i) {
    fields[i][0] = '\0';
  }
  int count = 0;
  const char *p = text;
  while (*p != '\0' && *p != '\n') {
    while (is_separator(*p)) {
      ++p;
    }
    char closing = ' '; // an unquoted field ends at a blank or a tab
    if (*p == '\'' || *p == '"') {
      closing = *p;
      ++p;
    }
    if (*p == '\0' || *p == '\n') {
      break;
    }
    // Fields past the store's end are still scanned, so that the line is
    // consumed the same way, but nothing of them is kept.
    char *field = count < CONFIG_FIELD_COUNT ? fields[count] : nullptr;
    size_t length = 0;
    while (*p != '\0' && *p != '\n' && (closing == ' ' ? !is_separator(*p) : *p != closing)) {
      if (field != nullptr && length + 1 < CONFIG_FIELD_SIZE) {
        field[length++] = *p;
      }
      ++p;
    }
    if (field != nullptr) {
      field[length] = '\0';
      ++count;
    }
    if (*p == '\0' || *p == '\n') {
      break; // the end of the text or of the line ends the last field
    }
    ++p; // the closing quote, blank or tab
  }
  return count;
}

void report_config_error(const char *message, const char *found, int line_number) {
  std::fprintf(stderr, "varnock: %s - found '%s' in config file, line %d\n", message, found,
               line_number);
  VarnockSyslog(VARNOCK_LOG_ERR, "varnock: %s - found '%s' in config file, line %d", message, found,
                line_number);
}
