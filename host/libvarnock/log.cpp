// VarnockSyslog: the modules' log lines, one line each, to the host's log
// (the daemon's Net-SNMP log on POSIX, the standard error stream on Windows).
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform/host/log_sink.h"
#include "varnock_host.h"

namespace {

int32_t g_max_level = VARNOCK_LOG_WARNING; // errors and warnings

} // namespace

extern "C" {

void VarnockHostSetLogLevel(int32_t maxLevel) { g_max_level = maxLevel; }

void VarnockSyslog(int32_t level, const char *format, ...) {
  if (level > g_max_level || format == nullptr)
    return;
  char line[2048];
  va_list args;
  va_start(args, format);
  int written = vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (written < 0)
    return;
  // One line, one newline: drop the message's own trailing newlines (a cut
  // message has none of its own) and add exactly one.
  size_t length = strnlen(line, sizeof line - 1);
  while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
    --length;
  line[length] = '\n';
  line[length + 1] = '\0';
  platform_log_write(level, line);
}

} // extern "C"
