#include "platform/host/log_sink.h"

#include <syslog.h>

// net-snmp-config.h must come first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/library/snmp_logging.h>

namespace {

int syslog_priority(int32_t level) {
  if (level <= LOG_EMERG)
    return LOG_EMERG;
  if (level >= LOG_DEBUG)
    return LOG_DEBUG;
  return static_cast<int>(level);
}

} // namespace

void platform_log_write(int32_t level, const char *line) {
  snmp_log(syslog_priority(level), "%s", line);
}
