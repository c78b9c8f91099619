// The daemon's log from more than one thread. Net-SNMP's log is not
// thread-safe, so only the main thread writes to it: a line logged on any
// other thread (the collector's, the modules' through VarnockSyslog) waits in
// a queue, and a byte on a pipe wakes the main loop to write it.
#pragma once

#include <stdint.h>

#include <string>

namespace varnockd {

// Makes the calling thread the one that writes the log, opens the wake pipe
// and routes the agent library's log lines through the queue. False when
// the pipe cannot be opened.
bool log_queue_start();

// The read end of the wake pipe: readable while lines wait.
int log_queue_fd();

// Writes the waiting lines, in the order they were logged. Main thread only.
void log_queue_drain();

// Logs one finished line (with its newline) at a VARNOCK_LOG_* level, from any
// thread: at once on the main thread, else through the queue.
void log_line(int32_t level, const std::string &line);

} // namespace varnockd
