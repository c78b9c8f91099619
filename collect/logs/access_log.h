// What each server's access logs tell: requests by status class, bytes
// sent and response times, per server and per virtual host, read a little
// at every status refresh from the logs that the server writes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "collect/logs/log_tail.h"
#include "config/server_entry.h"

// The upper bounds of the response-time buckets, in microseconds: 5, 10,
// 25, 50, 100, 250 and 500 ms, 1, 2.5, 5 and 10 s.
constexpr int LOG_TIME_BUCKETS = 11;
extern const uint64_t LOG_TIME_BUCKET_US[LOG_TIME_BUCKETS];

// At most this many bytes of one log are read per refresh; the rest waits
// for the next and is shown as the backlog.
constexpr size_t LOG_READ_BUDGET = 16u << 20;
// At most this many virtual hosts are counted per server: a log that names
// more (a hostile one) counts the others' lines for the server only.
constexpr size_t LOG_VHOST_LIMIT = 1000;
// The longest virtual host name that gets a row of its own (its index,
// port, length and one arc per byte, stays well within an agent's longest
// OID). Longer names, and names that do not look like host names, count
// for the server only.
constexpr size_t LOG_VHOST_NAME_MAX = 100;
// At most this many access logs of one server are followed: an info page
// that names more (a hostile one) has the others left out, and says so.
constexpr size_t LOG_FILE_LIMIT = 10000;

// The counters of one server or one virtual host, in the order of the
// access-log tables' counter columns.
struct LogCounters {
  uint64_t lines;
  uint64_t unparsed;
  uint64_t status[5]; // 1xx to 5xx
  uint64_t bytes;
  uint64_t timed;
  uint64_t timeSum;                     // microseconds
  uint64_t atOrBelow[LOG_TIME_BUCKETS]; // cumulative
  uint32_t gives;                       // LogFormatGives of the formats that fed them
};

// One virtual host's row: its name and what its lines said.
struct LogVhostView {
  const char *name;
  size_t nameLength;
  const LogCounters *counters;
  int64_t since; // when its counts began (seconds since 1970)
};

// What a server's logs said, for the tables.
struct LogSummary {
  uint32_t files;      // access logs known
  uint32_t unreadable; // of them, not read at the last refresh
  uint64_t backlog;    // bytes left for the next refresh
  const char *state;   // "ok", or why a log is not read
  const LogCounters *counters;
  int64_t since; // when the counters began (seconds since 1970)
};
// False while the server's logs have not been looked for.
bool log_summary(const ServerEntry *entry, LogSummary *out);

// The server's virtual hosts in the order of the per-host table's index
// (name length, then bytes). False when index is beyond the last.
bool log_vhost_at(const ServerEntry *entry, size_t index, LogVhostView *out);
size_t log_vhost_count(const ServerEntry *entry);

// Takes the access logs that a freshly read info page (as served) names as
// the server's logs, unless its configuration line names one. A log that the
// server kept goes on being read where it was. A page names files only
// while its server is trusted to (ServerEntry::pathsTrusted): until then,
// and whenever that is withdrawn, nothing it names is opened and the
// state says why.
void note_info_log_sources(ServerEntry *entry, const char *page);

// Reads what every listed server's access logs gained since the last call.
// A server whose logs no info page named has them looked for among the files
// its processes hold open, at most once a minute.
void refresh_access_logs(void);

// What a server's logs have told so far, and where each log was left off,
// as a checkpoint or a reload hands it on: a server given it goes on
// counting from these values, and each of its logs that it takes again
// (same path and host) from its position.
struct LogSavedFile {
  std::string path;
  std::string vhost;
  LogTailPosition at;
};
struct LogSavedHost {
  std::string name;
  int64_t since;
  LogCounters counters;
};
struct LogSavedServer {
  int32_t port = 0;
  int64_t since = 0;
  LogCounters total{};
  std::vector<LogSavedFile> files;
  std::vector<LogSavedHost> vhosts;
};
// False while the server's logs have not been looked for and nothing
// was handed to it.
bool log_state_export(const ServerEntry *entry, LogSavedServer *out);
// Before the server's logs are looked for (a fresh start).
void log_state_import(ServerEntry *entry, LogSavedServer saved);

// Called after every refresh_access_logs (the checkpoint); null: none.
void log_set_refresh_hook(void (*hook)(void));
