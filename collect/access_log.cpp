// Reading each server's access logs into its counters: which logs, where
// each was left off, and the counters per server and per virtual host.
#include "collect/access_log.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collect/listen_owner.h"
#include "collect/log_format.h"
#include "collect/log_sources.h"
#include "collect/log_tail.h"
#include "config/server_list.h"
#include "platform/clock.h"
#include "platform/proc_table.h"
#include "varnock.h"

const uint64_t LOG_TIME_BUCKET_US[LOG_TIME_BUCKETS] = {
    5000, 10000, 25000, 50000, 100000, 250000, 500000, 1000000, 2500000, 5000000, 10000000};

namespace {

constexpr int32_t kProcessScanInterval = 60;

// Formats tried, in order, on a log whose format was assumed, until one
// reads its lines.
constexpr const char *kAssumedFormats[] = {"combined", "vhost_combined", "common"};

struct LogFile {
  LogSource source;
  LogFormat format;
  bool usable = false;  // a format compiled and nothing keeps the log from being read
  bool matched = false; // a line was read by the format
  std::unique_ptr<LogTail> tail;
  LogTailState state = LOG_TAIL_OK;
  uint64_t backlog = 0;
  bool saidUnread = false; // the log line about it was written
  bool saidBehind = false;

  explicit LogFile(LogSource from) : source(std::move(from)) {
    if (source.problem.empty()) {
      usable = log_format_compile(source.format.c_str(), &format);
      if (!usable) {
        source.problem = "format not known";
      }
    }
    if (usable) {
      tail = std::make_unique<LogTail>(source.path);
    }
  }
};

// How much a format tells the tables: status, bytes, times, hosts.
int richness(const LogSource &source) {
  LogFormat format;
  return source.problem.empty() && log_format_compile(source.format.c_str(), &format)
             ? std::popcount(format.gives)
             : -1;
}

// Logs that record the same requests would count each request twice. A
// section with an unconditional log (which records all its requests) has
// every other log record some of the same requests: one log is read, the
// one whose format tells the most, an unconditional one among equals, else
// the first. A conditional log that tells more wins over the unconditional
// ones: it is the log kept for people (env=!dontlog), the other one a plain
// record. A section of conditional logs only (env=x beside env=!x) keeps
// them all.
std::vector<LogSource> one_log_per_section(std::vector<LogSource> sources) {
  std::vector<LogSource> kept;
  for (const LogSource &source : sources) {
    const LogSource *best = nullptr;
    bool unconditional = false;
    for (const LogSource &s : sources) {
      if (s.scope != source.scope || richness(s) < 0) {
        continue;
      }
      unconditional = unconditional || !s.conditional;
      if (best == nullptr || richness(s) > richness(*best) ||
          (richness(s) == richness(*best) && best->conditional && !s.conditional)) {
        best = &s;
      }
    }
    if (!unconditional || best == &source) {
      kept.push_back(source);
    }
  }
  return kept;
}

struct VhostRow {
  std::string name;
  LogCounters counters{};
};

bool shorter_then_smaller(std::string_view a, std::string_view b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// A virtual host name fit to be a row's index: printable ASCII without
// blanks, at most LOG_VHOST_NAME_MAX bytes.
bool fit_name(const char *name, size_t length) {
  if (name == nullptr || length == 0 || length > LOG_VHOST_NAME_MAX) {
    return false;
  }
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c <= 0x20 || c >= 0x7F) {
      return false;
    }
  }
  return true;
}

void count(LogCounters *c, const LogRecord &record, uint32_t gives) {
  if ((gives & LOG_GIVES_STATUS) != 0 && record.status >= 100) {
    ++c->status[record.status / 100 - 1];
  }
  if ((gives & LOG_GIVES_BYTES) != 0) {
    c->bytes += record.bytes;
  }
  if ((gives & LOG_GIVES_TIME) != 0) {
    ++c->timed;
    c->timeSum += record.micros;
    int bucket = 0;
    while (bucket < LOG_TIME_BUCKETS && record.micros > LOG_TIME_BUCKET_US[bucket]) {
      ++bucket;
    }
    for (; bucket < LOG_TIME_BUCKETS; ++bucket) {
      ++c->atOrBelow[bucket];
    }
  }
}

} // namespace

struct LogState {
  std::vector<LogFile> files;
  LogCounters total{};
  std::vector<VhostRow> vhosts; // by name length, then bytes
  bool looked = false;          // logs have been looked for
  bool fromInfo = false;        // the info page named them
  bool configured = false;      // the configuration line named one
  int32_t lastProcessScan = 0;
  std::string state = "no access log known";
  uint32_t unreadable = 0;
  uint64_t backlog = 0;

  // Takes sources as the server's logs; a log already read (same path and
  // format) keeps its place in the file.
  void take(std::vector<LogSource> sources) {
    sources = one_log_per_section(std::move(sources));
    std::vector<LogFile> next;
    next.reserve(sources.size());
    for (LogSource &source : sources) {
      auto kept = std::find_if(files.begin(), files.end(), [&](const LogFile &f) {
        return f.tail && f.source.path == source.path && f.source.format == source.format &&
               f.source.vhost == source.vhost && source.problem.empty();
      });
      if (kept != files.end()) {
        next.push_back(std::move(*kept));
        files.erase(kept);
      } else {
        next.emplace_back(std::move(source));
      }
    }
    files = std::move(next);
    looked = true;
    total.gives = 0;
    for (const LogFile &f : files) {
      if (f.usable) {
        total.gives |= f.format.gives;
      }
    }
  }

  LogCounters *vhost(std::string_view name, uint32_t gives) {
    auto at = std::lower_bound(
        vhosts.begin(), vhosts.end(), name,
        [](const VhostRow &row, std::string_view n) { return shorter_then_smaller(row.name, n); });
    if (at == vhosts.end() || at->name != name) {
      if (vhosts.size() >= LOG_VHOST_LIMIT) {
        return nullptr;
      }
      at = vhosts.insert(at, VhostRow{std::string(name), {}});
    }
    at->counters.gives |= gives;
    return &at->counters;
  }
};

namespace {

// Parses a line of file. Until a line of a log whose format was assumed has
// been read, each line that its format does not read is tried with the
// other formats, and the first that reads it is kept.
bool parse(LogFile *file, const char *line, size_t length, LogRecord *record) {
  if (log_line_parse(file->format, line, length, record)) {
    file->matched = true;
    return true;
  }
  if (!file->source.assumed || file->matched) {
    return false;
  }
  for (const char *name : kAssumedFormats) {
    LogFormat other;
    const char *text = log_format_nickname(name);
    if (text != nullptr && text != file->source.format && log_format_compile(text, &other) &&
        log_line_parse(other, line, length, record)) {
      file->format = std::move(other);
      file->source.format = text;
      file->matched = true;
      return true;
    }
  }
  return false;
}

struct Reading {
  LogState *state;
  LogFile *file;
};

void take_line(void *context, const char *line, size_t length) {
  Reading *r = static_cast<Reading *>(context);
  LogFile *file = r->file;
  LogState *state = r->state;
  ++state->total.lines;
  LogRecord record{};
  const bool read = line != nullptr && parse(file, line, length, &record);
  const uint32_t gives = file->format.gives;
  state->total.gives |= gives;
  LogCounters *host = nullptr;
  if (read && record.vhost != nullptr) {
    if (fit_name(record.vhost, record.vhostLength)) {
      host = state->vhost(std::string_view(record.vhost, record.vhostLength), gives);
    }
  } else if (!file->source.vhost.empty()) {
    host = state->vhost(file->source.vhost, gives);
  }
  if (host != nullptr) {
    ++host->lines;
  }
  if (!read) {
    ++state->total.unparsed;
    if (host != nullptr) {
      ++host->unparsed;
    }
    return;
  }
  count(&state->total, record, gives);
  if (host != nullptr) {
    count(host, record, gives);
  }
}

const char *tail_problem(LogTailState state) {
  switch (state) {
  case LOG_TAIL_MISSING:
    return "no such file";
  case LOG_TAIL_NOT_A_FILE:
    return "not a regular file";
  case LOG_TAIL_DENIED:
    return "permission denied";
  case LOG_TAIL_READ_FAILED:
    return "read failed";
  default:
    return nullptr;
  }
}

// Logs once when a log cannot be read or falls behind, and once when that
// has passed.
void say_changes(LogFile *file, const char *problem) {
  const char *path = file->source.path.c_str();
  if ((problem != nullptr) != file->saidUnread) {
    file->saidUnread = problem != nullptr;
    if (problem != nullptr) {
      VarnockSyslog(VARNOCK_LOG_WARNING, "ostrik: access log %s is not read: %s", path, problem);
    } else {
      VarnockSyslog(VARNOCK_LOG_NOTICE, "ostrik: access log %s is read again", path);
    }
  }
  if ((file->backlog > 0) != file->saidBehind) {
    file->saidBehind = file->backlog > 0;
    if (file->backlog > 0) {
      VarnockSyslog(VARNOCK_LOG_WARNING,
                    "ostrik: access log %s grows faster than it is read: %llu bytes wait for the "
                    "next refresh",
                    path, static_cast<unsigned long long>(file->backlog));
    } else {
      VarnockSyslog(VARNOCK_LOG_NOTICE, "ostrik: access log %s has been caught up with", path);
    }
  }
}

void read_logs(LogState *state) {
  state->unreadable = 0;
  state->backlog = 0;
  std::string first;
  for (LogFile &file : state->files) {
    const char *problem = file.source.problem.empty() ? nullptr : file.source.problem.c_str();
    if (file.tail) {
      Reading reading{state, &file};
      const LogTailResult result = file.tail->read(LOG_READ_BUDGET, take_line, &reading);
      file.state = result.state;
      file.backlog = result.backlog;
      state->backlog += result.backlog;
      problem = tail_problem(result.state);
    }
    if (problem != nullptr) {
      ++state->unreadable;
      if (first.empty()) {
        first = file.source.path + ": " + problem;
      }
    }
    say_changes(&file, problem);
  }
  if (state->files.empty()) {
    state->state = "no access log known";
  } else {
    state->state = first.empty() ? "ok" : first;
  }
}

// The server's main process, found as the owner of its listening socket
// when no PID file named it.
int32_t main_process(const ServerEntry *entry) {
  std::vector<PlatformProcess> processes;
  if (platform_list_processes(&processes, nullptr) != 0) {
    return 0;
  }
  std::vector<ProcLink> links;
  links.reserve(processes.size());
  for (const PlatformProcess &p : processes) {
    if (entry->pid != 0 && (p.pid == entry->pid || p.ppid == entry->pid)) {
      return entry->pid;
    }
    links.push_back(ProcLink{p.pid, p.ppid});
  }
  std::vector<PlatformListener> listeners;
  (void)platform_list_listeners(&listeners, nullptr);
  return listen_owner(static_cast<uint16_t>(entry->port & 0xFFFF), listeners, links,
                      &entry->reach.address);
}

LogState *state_of(ServerEntry *entry) {
  if (entry->logs == nullptr) {
    entry->logs = new (std::nothrow) LogState;
  }
  return entry->logs;
}

} // namespace

void log_state_free(LogState *state) { delete state; }

bool log_summary(const ServerEntry *entry, LogSummary *out) {
  const LogState *state = entry != nullptr ? entry->logs : nullptr;
  if (state == nullptr || !state->looked) {
    return false;
  }
  out->files = static_cast<uint32_t>(state->files.size());
  out->unreadable = state->unreadable;
  out->backlog = state->backlog;
  out->state = state->state.c_str();
  out->counters = &state->total;
  return true;
}

size_t log_vhost_count(const ServerEntry *entry) {
  return entry != nullptr && entry->logs != nullptr ? entry->logs->vhosts.size() : 0;
}

bool log_vhost_at(const ServerEntry *entry, size_t index, LogVhostView *out) {
  if (index >= log_vhost_count(entry)) {
    return false;
  }
  const VhostRow &row = entry->logs->vhosts[index];
  out->name = row.name.data();
  out->nameLength = row.name.size();
  out->counters = &row.counters;
  return true;
}

void note_info_log_sources(ServerEntry *entry, const char *page) {
  if (entry == nullptr || page == nullptr || entry->reach.logPath[0] != '\0') {
    return;
  }
  LogState *state = state_of(entry);
  if (state == nullptr) {
    return;
  }
  std::vector<LogSource> sources = log_sources_from_info(page, entry->serverRoot);
  if (sources.empty() && !state->fromInfo && !state->files.empty()) {
    return; // keep the logs its processes showed
  }
  state->take(std::move(sources));
  state->fromInfo = true;
}

void refresh_access_logs(void) {
  const int32_t now = platform_time();
  for (ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    LogState *state = state_of(entry);
    if (state == nullptr) {
      continue;
    }
    if (entry->reach.logPath[0] != '\0') {
      if (!state->configured) {
        LogSource named;
        named.path = entry->reach.logPath;
        named.format = entry->reach.logFormat[0] != '\0' ? entry->reach.logFormat
                                                         : log_format_nickname("combined");
        named.assumed = entry->reach.logFormat[0] == '\0';
        std::vector<LogSource> one;
        one.push_back(std::move(named));
        state->take(std::move(one));
        state->configured = true;
      }
    } else if (!state->fromInfo &&
               (state->lastProcessScan == 0 ||
                platform_seconds_between(state->lastProcessScan, now) >= kProcessScanInterval)) {
      state->lastProcessScan = now;
      const int32_t pid = main_process(entry);
      std::vector<LogSource> found =
          pid != 0 ? log_sources_from_processes(pid, entry->errorLog) : std::vector<LogSource>{};
      if (!found.empty() || !state->looked) {
        state->take(std::move(found));
      }
    }
    read_logs(state);
  }
}
