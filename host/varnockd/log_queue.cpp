#include "host/varnockd/log_queue.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <thread>
#include <utility>

// Net-SNMP's configuration header must come first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>

#include "varnock_host.h"

namespace varnockd {

namespace {

// Lines beyond this many that wait at once are dropped and counted, so that
// a module that logs in a loop cannot exhaust the memory.
constexpr size_t kMaxWaiting = 10000;

std::thread::id g_writer;
int g_pipe[2] = {-1, -1};
std::mutex g_mutex;
std::deque<std::pair<int32_t, std::string>> g_waiting;
size_t g_dropped = 0;

void write_now(int32_t level, const char *line) {
  snmp_log(level < LOG_EMERG ? LOG_EMERG : (level > LOG_DEBUG ? LOG_DEBUG : level), "%s", line);
}

void from_library(int32_t level, const char *line) { log_line(level, line); }

} // namespace

bool log_queue_start() {
  g_writer = std::this_thread::get_id();
  if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return false;
  VarnockHostSetLogSink(from_library);
  return true;
}

int log_queue_fd() { return g_pipe[0]; }

void log_queue_drain() {
  char buffer[256];
  while (g_pipe[0] >= 0 && read(g_pipe[0], buffer, sizeof buffer) > 0) {
  }
  std::deque<std::pair<int32_t, std::string>> lines;
  size_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    lines.swap(g_waiting);
    std::swap(dropped, g_dropped);
  }
  for (const auto &[level, line] : lines)
    write_now(level, line.c_str());
  if (dropped > 0)
    snmp_log(LOG_WARNING, "varnockd: %zu log lines dropped (too many waiting)\n", dropped);
}

void log_line(int32_t level, const std::string &line) {
  if (std::this_thread::get_id() == g_writer) {
    log_queue_drain(); // earlier lines of other threads first
    write_now(level, line.c_str());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_waiting.size() >= kMaxWaiting) {
      ++g_dropped;
      return;
    }
    g_waiting.emplace_back(level, line);
  }
  if (g_pipe[1] >= 0) {
    const int saved = errno;
    const char byte = 1;
    ssize_t ignored = write(g_pipe[1], &byte, 1); // a full pipe already wakes the reader
    (void)ignored;
    errno = saved;
  }
}

} // namespace varnockd
