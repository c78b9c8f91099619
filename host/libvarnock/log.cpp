// VarnockSyslog: the modules' log lines, one line each, to the host's log
// (the daemon's Net-SNMP log on POSIX, the standard error stream on Windows),
// or to the sink a host program installs. Safe to call from any thread: the
// line is formatted on the caller's stack, and the settings are atomic.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "platform/host/log_sink.h"
#include "varnock_host.h"

namespace {

std::atomic<int32_t> g_max_level{VARNOCK_LOG_WARNING}; // errors and warnings
std::atomic<VarnockLogSink> g_sink{nullptr};

} // namespace

extern "C" {

void VarnockHostSetLogLevel(int32_t maxLevel) { g_max_level = maxLevel; }

void VarnockHostSetLogSink(VarnockLogSink sink) { g_sink = sink; }

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
  const VarnockLogSink sink = g_sink;
  if (sink != nullptr)
    sink(level, line);
  else
    platform_log_write(level, line);
}

} // extern "C"
