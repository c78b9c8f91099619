// Apache access-log formats: a LogFormat string compiled once into the steps
// that take one log line apart, and the parse of a line into the few fields
// that the access-log tables count (status, bytes sent, time taken, virtual
// host). Every other directive is only skipped over.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// What a compiled format can give.
enum LogFormatGives : uint32_t {
  LOG_GIVES_STATUS = 1u << 0, // %s or %>s
  LOG_GIVES_BYTES = 1u << 1,  // %O, else %b or %B
  LOG_GIVES_TIME = 1u << 2,   // %D, %T, %{us}T, %{ms}T or %{s}T
  LOG_GIVES_VHOST = 1u << 3,  // %v (or %V)
};

// One step of a compiled format (the parser's own business).
struct LogFormatStep {
  uint8_t kind;
  uint8_t field;
  std::string literal;
};

struct LogFormat {
  std::vector<LogFormatStep> steps;
  uint32_t gives = 0; // LogFormatGives bits
};

// Apache's format string for one of its well-known nicknames ("common",
// "combined", "vhost_combined", "combinedio", "referer", "agent"), or null.
const char *log_format_nickname(const char *name);

// Compiles a format string as the LogFormat directive holds it (the text
// between its quotes, with \" \\ \t \n escapes still in place). False when
// the string is not a usable format: empty, a directive malformed, a \n
// (a record over two lines), or nothing it can give. Two directives with
// nothing between them are taken as parted by one blank.
bool log_format_compile(const char *format, LogFormat *out);

// The fields of one line that the tables count. vhost points into the line.
struct LogRecord {
  int32_t status;    // 100 to 599; 0 when the format has no status
  uint64_t bytes;    // bytes sent ("-" counts 0)
  uint64_t micros;   // time taken, microseconds
  const char *vhost; // the %v field, vhostLength bytes; null when none
  size_t vhostLength;
};

// Parses one line (without its line feed; a CR before it is passed over;
// it may hold any bytes, NULs included) by a compiled format. True when the
// line matches the format and its status is a valid HTTP status; false
// otherwise (the line is then counted as not understood). Never reads
// outside [line, line + length).
bool log_line_parse(const LogFormat &format, const char *line, size_t length, LogRecord *record);
