#include "platform/host/log_sink.h"

#include <cstdio>

// There is no Net-SNMP on Windows: the lines go to the standard error stream,
// at once, so that they stand in order with the program's other messages.
void platform_log_write(int32_t level, const char *line) {
  (void)level;
  std::fputs(line, stderr);
  std::fflush(stderr);
}
