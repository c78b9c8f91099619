// Where the agent's log lines go.
#pragma once

#include <stdint.h>

// Writes one finished line (with its newline) at a VARNOCK_LOG_* level,
// which is syslog's. Through Net-SNMP's log on POSIX, so that the daemon's
// -L options choose the output; to the standard error stream on Windows.
void platform_log_write(int32_t level, const char *line);
