// VarnockSyslog: the modules' log lines go to the daemon's log through
// Net-SNMP's logging, so the daemon's -L options choose the output.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

// net-snmp-config.h must come first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/library/snmp_logging.h>

#include "varnock_host.h"

namespace {

int32_t g_max_level = 4; // errors and warnings

int syslog_priority(int32_t level) {
  if (level <= LOG_EMERG)
    return LOG_EMERG;
  if (level >= LOG_DEBUG)
    return LOG_DEBUG;
  return static_cast<int>(level);
}

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
  snmp_log(syslog_priority(level), "%s", line);
}

} // extern "C"
