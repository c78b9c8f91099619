// Reading each server's access logs into its counters: which logs, where
// each was left off, and the counters per server and per virtual host.
#include "collect/logs/access_log.h"

#include <time.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "collect/logs/log_sources.h"
#include "collect/logs/log_tail.h"
#include "collect/processes/listen_owner.h"
#include "config/server_list.h"
#include "platform/clock.h"
#include "platform/proc_table.h"
#include "pluginlib/log_format.h"
#include "varnock.h"

const uint64_t LOG_TIME_BUCKET_US[LOG_TIME_BUCKETS] = {
    5000, 10000, 25000, 50000, 100000, 250000, 500000, 1000000, 2500000, 5000000, 10000000};

namespace {

constexpr int32_t kProcessScanInterval = 60;

constexpr const char *kUntrustedPage =
    "PAGE: not trusted to name files (its socket is neither root's nor its user's): its logs "
    "are not read";

// Formats tried on a log whose format was assumed, until one reads a line.
// Several may read the same line (combined's %t takes vhost_combined's
// leading fields in): the one that tells the most wins, then the first.
constexpr const char *kAssumedFormats[] = {"combined", "vhost_combined", "common"};

// A log chosen to be read, with its format compiled. Logs of one format
// share its compiled steps.
using SharedFormat = std::shared_ptr<const LogFormat>;
struct ChosenLog {
  LogSource source;
  SharedFormat format;
  bool usable = false; // a format compiled and nothing keeps the log from being read
};

// Two logs of one server in formats we assume (two `combined` CustomLogs)
// may record the same requests. An assumed log's first lines read are
// hashed; while they match, line for line, those read first from an
// earlier such log, its lines wait, at most kCopySample of them and
// kCopyWaitBytes in all. kCopySample alike lines make it a copy, left
// uncounted; a line that differs (or no room to wait) counts what waited.
constexpr size_t kCopySample = 8;
constexpr size_t kCopyWaitBytes = 16 * 1024;

struct CopyCheck {
  uint64_t prefix[kCopySample] = {}; // hash of the first i + 1 lines read
  size_t sampled = 0;
  bool distinct = false;            // its lines are its own: counted
  std::string copyOf;               // the log whose requests it repeats
  std::vector<std::string> waiting; // lines held while they match
  size_t waitingBytes = 0;
};

struct LogFile {
  LogSource source;
  SharedFormat format;
  bool usable = false; // a format compiled and nothing keeps the log from being read
  // The format is known to hold: stated, or chosen by a line it read.
  bool decided = false;
  // Lines of a log whose format is still to be chosen: counted (as not
  // understood) once a format reads one of its lines, never while none
  // does. A copy of another log in a format of its own then does not
  // count its requests twice.
  uint64_t held = 0;
  std::unique_ptr<LogTail> tail;
  LogTailState state = LOG_TAIL_OK;
  uint64_t backlog = 0;
  bool saidUnread = false; // the log line about it was written
  bool saidBehind = false;
  bool resumed = false; // went on from a handed-on position, backlog not yet read
  CopyCheck copies;

  explicit LogFile(ChosenLog from)
      : source(std::move(from.source)), format(std::move(from.format)), usable(from.usable),
        decided(!source.assumed) {
    if (usable) {
      tail = std::make_unique<LogTail>(source.path);
    }
  }
};

// Compiles each source's format, each distinct format text once (a page
// may name one format for thousands of logs).
std::vector<ChosenLog> compile_all(std::vector<LogSource> sources) {
  std::vector<ChosenLog> out;
  out.reserve(sources.size());
  std::unordered_map<std::string, SharedFormat> compiled; // null: not a format
  for (LogSource &source : sources) {
    ChosenLog log;
    if (source.problem.empty()) {
      auto at = compiled.find(source.format);
      if (at == compiled.end()) {
        auto format = std::make_shared<LogFormat>();
        const bool ok = log_format_compile(source.format.c_str(), format.get());
        at = compiled.emplace(source.format, ok ? std::move(format) : nullptr).first;
      }
      log.format = at->second;
      log.usable = log.format != nullptr;
      if (!log.usable) {
        source.problem = "format not known";
      }
    }
    log.source = std::move(source);
    out.push_back(std::move(log));
  }
  return out;
}

// Logs that record the same requests would count each request twice. A
// section with an unconditional log (which records all its requests) has
// every other log record some of the same requests: one log is read, the
// one whose format tells the most (status, bytes, times, hosts), an
// unconditional one among equals, else the first. A conditional log that
// tells more wins over the unconditional ones: it is the log kept for
// people (env=!dontlog), the other one a plain record. A section of
// conditional logs only (env=x beside env=!x) keeps them all. One pass
// finds each section's best log, a second keeps what is to be kept.
std::vector<ChosenLog> one_log_per_section(std::vector<LogSource> sources) {
  std::vector<ChosenLog> logs = compile_all(std::move(sources));
  struct Section {
    size_t best;
    int richness;
    bool unconditional;
  };
  std::unordered_map<std::string_view, Section> sections;
  for (size_t i = 0; i < logs.size(); ++i) {
    const ChosenLog &log = logs[i];
    if (!log.usable) {
      continue;
    }
    const int richness = std::popcount(log.format->gives);
    auto [at, made] =
        sections.try_emplace(log.source.scope, Section{i, richness, !log.source.conditional});
    if (made) {
      continue;
    }
    Section &section = at->second;
    section.unconditional = section.unconditional || !log.source.conditional;
    if (richness > section.richness ||
        (richness == section.richness && logs[section.best].source.conditional &&
         !log.source.conditional)) {
      section.best = i;
      section.richness = richness;
    }
  }
  // The sections' keys view the logs' scopes: decide every log before
  // moving any.
  std::vector<bool> keep(logs.size());
  bool global = false;
  for (size_t i = 0; i < logs.size(); ++i) {
    auto at = sections.find(logs[i].source.scope);
    keep[i] = at == sections.end() || !at->second.unconditional || at->second.best == i;
    global = global || (keep[i] && logs[i].usable && logs[i].source.global);
  }
  // A GlobalLog records the requests of every virtual host as well, those
  // that its own logs record among them: when one is read, the virtual
  // hosts' own logs are not.
  for (size_t i = 0; global && i < logs.size(); ++i) {
    keep[i] = keep[i] && (logs[i].source.global || logs[i].source.scope.empty());
  }
  std::vector<ChosenLog> kept;
  for (size_t i = 0; i < logs.size(); ++i) {
    if (keep[i]) {
      kept.push_back(std::move(logs[i]));
    }
  }
  return kept;
}

struct VhostRow {
  std::string name;
  LogCounters counters{};
  int64_t since = 0;
};

// The wall-clock time counts are said to begin at.
int64_t now_seconds() { return static_cast<int64_t>(time(nullptr)); }

void (*refresh_hook)(void) = nullptr;

bool shorter_then_smaller(std::string_view a, std::string_view b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// A name fit to be a row's index: 1 to LOG_VHOST_NAME_MAX bytes that look
// like a host name (letters, digits, '-', '.' and '_', not led by '.' or
// '-') or an IPv6 address in brackets. Names come from pages and log lines
// that others write: anything else (a line of /etc/shadow read as "%v")
// must not become a row.
bool host_like(std::string_view name) {
  if (name.empty() || name.size() > LOG_VHOST_NAME_MAX) {
    return false;
  }
  if (name.front() == '[') {
    if (name.size() < 4 || name.back() != ']') {
      return false;
    }
    const std::string_view inside = name.substr(1, name.size() - 2);
    return inside.find(':') != std::string_view::npos &&
           std::all_of(inside.begin(), inside.end(), [](char c) {
             return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                    c == ':' || c == '.';
           });
  }
  if (name.front() == '.' || name.front() == '-') {
    return false;
  }
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
  });
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
  // The logs the last info page named, chosen; taken as files only while
  // the server is trusted to name files (pageTaken).
  std::vector<ChosenLog> pageLogs;
  bool pageTaken = false;
  bool saidUntrusted = false;
  size_t pageLeftOut = 0; // logs the page named beyond LOG_FILE_LIMIT
  int32_t lastProcessScan = 0;
  std::string state = "no access log known";
  uint32_t unreadable = 0;
  uint64_t backlog = 0;
  int64_t since = now_seconds();
  // Positions handed on (a reload, a checkpoint), by path and host, taken
  // up by the logs taken again.
  std::unordered_map<std::string, LogTailPosition> handedOn;

  // Takes logs as the server's. A log already read (same path) keeps its
  // follower, and so its place in the file: with the format it was read by
  // when that was assumed both times (its lines chose it), else with the
  // format now stated.
  void take(std::vector<ChosenLog> logs) {
    std::unordered_map<std::string, size_t> old;
    for (size_t i = 0; i < files.size(); ++i) {
      if (files[i].tail) {
        old.emplace(files[i].source.path, i);
      }
    }
    std::vector<LogFile> next;
    next.reserve(logs.size());
    for (ChosenLog &log : logs) {
      auto at = log.source.problem.empty() ? old.find(log.source.path) : old.end();
      if (at == old.end()) {
        next.emplace_back(std::move(log));
        resume(next.back());
        continue;
      }
      LogFile &kept = files[at->second];
      old.erase(at);
      if (kept.source.assumed && log.source.assumed) {
        log.source.format = std::move(kept.source.format);
        log.format = std::move(kept.format);
      } else {
        kept.decided = !log.source.assumed;
      }
      if (!log.source.assumed) {
        kept.copies = CopyCheck{}; // a stated log is counted as it says
      }
      kept.source = std::move(log.source);
      kept.format = std::move(log.format);
      next.push_back(std::move(kept));
    }
    // By path: the first of two copies, kept, and the first problem said
    // do not depend on the order the logs were found in.
    std::stable_sort(next.begin(), next.end(), [](const LogFile &a, const LogFile &b) {
      return a.source.path < b.source.path;
    });
    files = std::move(next);
    looked = true;
    total.gives = 0;
    for (const LogFile &f : files) {
      if (f.usable) {
        total.gives |= f.format->gives;
      }
    }
  }

  void resume(LogFile &file) {
    auto at = handedOn.find(file.source.path + '\n' + file.source.vhost);
    if (file.tail && at != handedOn.end()) {
      file.resumed = file.tail->resume(at->second);
      handedOn.erase(at);
    }
  }

  // The counters of the host called name, made for a name that is fit to
  // be a row while there is room; null otherwise.
  LogCounters *vhost(std::string_view name, uint32_t gives) {
    if (!host_like(name)) {
      return nullptr;
    }
    auto at = std::lower_bound(
        vhosts.begin(), vhosts.end(), name,
        [](const VhostRow &row, std::string_view n) { return shorter_then_smaller(row.name, n); });
    if (at == vhosts.end() || at->name != name) {
      if (vhosts.size() >= LOG_VHOST_LIMIT) {
        return nullptr;
      }
      at = vhosts.insert(at, VhostRow{std::string(name), {}, now_seconds()});
    }
    at->counters.gives |= gives;
    return &at->counters;
  }
};

namespace {

// How much a format that read a line tells of it: a host name read from
// the line first, then the time taken, then the number of fields.
int told(const LogFormat &format, const LogRecord &record) {
  const bool host =
      record.vhost != nullptr && host_like(std::string_view(record.vhost, record.vhostLength));
  return (host ? 16 : 0) + ((format.gives & LOG_GIVES_TIME) != 0 ? 8 : 0) +
         std::popcount(format.gives);
}

// Parses a line of file. Until a line of a log whose format was assumed has
// been read, each line is tried with its format and the others assumed,
// and the one that tells the most of the first line read is kept.
bool parse(LogFile *file, const char *line, size_t length, LogRecord *record) {
  if (file->decided) {
    return log_line_parse(*file->format, line, length, record);
  }
  // The formats tried, compiled once.
  static const std::vector<std::pair<const char *, SharedFormat>> tried = [] {
    std::vector<std::pair<const char *, SharedFormat>> out;
    for (const char *name : kAssumedFormats) {
      auto format = std::make_shared<LogFormat>();
      const char *text = log_format_nickname(name);
      if (text != nullptr && log_format_compile(text, format.get())) {
        out.emplace_back(text, std::move(format));
      }
    }
    return out;
  }();
  SharedFormat best;
  const char *bestText = nullptr;
  int bestTold = -1;
  if (log_line_parse(*file->format, line, length, record)) {
    best = file->format;
    bestTold = told(*best, *record);
  }
  for (const auto &[text, other] : tried) {
    if (text != file->source.format && log_line_parse(*other, line, length, record) &&
        told(*other, *record) > bestTold) {
      best = other;
      bestText = text;
      bestTold = told(*other, *record);
    }
  }
  if (best == nullptr) {
    return false;
  }
  if (bestText != nullptr) {
    file->format = best;
    file->source.format = bestText;
  }
  file->decided = true;
  // The record of the format kept (the last tried may have been another).
  return log_line_parse(*best, line, length, record);
}

struct Reading {
  LogState *state;
  LogFile *file;
};

void count_line(Reading *r, const char *line, size_t length) {
  LogFile *file = r->file;
  LogState *state = r->state;
  LogRecord record{};
  const bool undecided = !file->decided;
  const bool read = line != nullptr && parse(file, line, length, &record);
  if (undecided && !read) {
    ++file->held;
    return;
  }
  ++state->total.lines;
  if (file->held > 0) {
    // What waited for the format, now known: not understood.
    state->total.lines += file->held;
    state->total.unparsed += file->held;
    if (LogCounters *own = state->vhost(file->source.vhost, 0)) {
      own->lines += file->held;
      own->unparsed += file->held;
    }
    file->held = 0;
  }
  const uint32_t gives = file->format != nullptr ? file->format->gives : 0;
  state->total.gives |= gives;
  LogCounters *host = nullptr;
  if (read && record.vhost != nullptr) {
    host = state->vhost(std::string_view(record.vhost, record.vhostLength), gives);
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

uint64_t hash_line(uint64_t hash, const char *line, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    hash = (hash ^ static_cast<unsigned char>(line[i])) * 1099511628211ull;
  }
  return (hash ^ '\n') * 1099511628211ull;
}

// False when line is to be counted now; true when it waits or its log is
// a copy of an earlier one (see CopyCheck).
bool held_as_copy(Reading *r, const char *line, size_t length) {
  CopyCheck &c = r->file->copies;
  if (!c.copyOf.empty()) {
    return true;
  }
  if (c.sampled < kCopySample && line != nullptr) {
    c.prefix[c.sampled] =
        hash_line(c.sampled > 0 ? c.prefix[c.sampled - 1] : 14695981039346656037ull, line, length);
    ++c.sampled;
  }
  if (c.distinct) {
    return false;
  }
  const LogFile *same = nullptr;
  for (const LogFile &other : r->state->files) {
    if (&other == r->file) {
      break;
    }
    const CopyCheck &o = other.copies;
    if (line != nullptr && other.source.assumed && o.copyOf.empty() && o.sampled >= c.sampled &&
        o.prefix[c.sampled - 1] == c.prefix[c.sampled - 1]) {
      same = &other;
      break;
    }
  }
  if (same == nullptr || c.waitingBytes + length > kCopyWaitBytes) {
    c.distinct = true;
    std::vector<std::string> waiting = std::move(c.waiting);
    c.waiting = {};
    c.waitingBytes = 0;
    for (const std::string &held : waiting) {
      count_line(r, held.data(), held.size());
    }
    return false;
  }
  if (c.sampled == kCopySample) {
    c.copyOf = same->source.path;
    c.waiting = {};
    c.waitingBytes = 0;
    return true;
  }
  c.waiting.emplace_back(line, length);
  c.waitingBytes += length;
  return true;
}

void take_line(void *context, const char *line, size_t length) {
  Reading *r = static_cast<Reading *>(context);
  if (r->file->source.assumed && held_as_copy(r, line, length)) {
    return;
  }
  count_line(r, line, length);
}

// Why a log was not read at the last call, or empty.
std::string tail_problem(const LogTailResult &result) {
  switch (result.state) {
  case LOG_TAIL_MISSING:
    return "no such file";
  case LOG_TAIL_NOT_A_FILE:
    return "not a regular file";
  case LOG_TAIL_DENIED:
    return "permission denied";
  case LOG_TAIL_READ_FAILED:
    return "read failed";
  case LOG_TAIL_REFUSED:
    return std::string("refused: ") + (result.why != nullptr ? result.why : "not trusted");
  default:
    return std::string();
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

// Reads what each log gained. A log may be owned by root or by the user
// the server's workers run as (as far as that is known), no one else.
void read_logs(const ServerEntry *entry, LogState *state) {
  state->unreadable = 0;
  state->backlog = 0;
  std::string first;
  std::string problem;
  uint64_t catchingUp = 0; // backlog of logs read on from a handed-on position
  for (LogFile &file : state->files) {
    problem = file.source.problem;
    if (file.tail) {
      file.tail->setOwner(entry->workerUid);
      Reading reading{state, &file};
      const LogTailResult result = file.tail->read(LOG_READ_BUDGET, take_line, &reading);
      file.state = result.state;
      file.backlog = result.backlog;
      state->backlog += result.backlog;
      problem = tail_problem(result);
      file.resumed = file.resumed && result.backlog > 0;
      catchingUp += file.resumed ? result.backlog : 0;
      if (problem.empty() && !file.decided && file.held > 0) {
        // Which requests such a log records is not known either (it may
        // repeat another log's): its lines are left out rather than
        // counted twice.
        problem = "format not known: " + std::to_string(file.held) + " lines not counted";
      }
      if (problem.empty() && !file.copies.copyOf.empty()) {
        problem = "same requests as " + file.copies.copyOf + ": not counted";
      }
    }
    if (!problem.empty()) {
      ++state->unreadable;
      if (first.empty()) {
        first = file.source.path + ": " + problem;
      }
    }
    say_changes(&file, problem.empty() ? nullptr : problem.c_str());
  }
  if (!first.empty()) {
    state->state = first;
  } else if (state->pageLeftOut > 0) {
    state->state = "PAGE: names " + std::to_string(state->files.size() + state->pageLeftOut) +
                   " logs; only the first " + std::to_string(LOG_FILE_LIMIT) + " are read";
  } else if (catchingUp > 0) {
    state->state = "catching up: " + std::to_string((catchingUp + 1023) / 1024) +
                   " KB written while the logs were not read wait";
  } else {
    state->state = state->files.empty() ? "no access log known" : "ok";
  }
}

// Takes the logs the last info page named while its server is trusted to
// name files, and lets them go (nothing named by the page is opened) while
// it is not. True while the page's logs are not trusted.
bool follow_page_trust(const ServerEntry *entry, LogState *state) {
  const bool trusted = entry->pathsTrusted == 1;
  if (trusted && !state->pageTaken) {
    state->take(state->pageLogs);
    state->pageTaken = true;
  } else if (!trusted && (state->pageTaken || !state->looked)) {
    state->take({});
    state->pageTaken = false;
  }
  if (trusted == state->saidUntrusted) {
    state->saidUntrusted = !trusted;
    if (!trusted) {
      VarnockSyslog(VARNOCK_LOG_WARNING,
                    "ostrik: the info page of port %d is not trusted to name files: the access "
                    "logs it names are not read",
                    static_cast<int>(entry->port));
    } else {
      VarnockSyslog(VARNOCK_LOG_NOTICE,
                    "ostrik: the info page of port %d is trusted again: its access logs are read",
                    static_cast<int>(entry->port));
    }
  }
  return !trusted;
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
  out->since = state->since;
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
  out->since = row.since;
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
  // Only the chosen logs are kept, at most LOG_FILE_LIMIT of them; what
  // else the page named is let go here.
  std::vector<ChosenLog> chosen = one_log_per_section(std::move(sources));
  state->pageLeftOut = chosen.size() > LOG_FILE_LIMIT ? chosen.size() - LOG_FILE_LIMIT : 0;
  if (state->pageLeftOut > 0) {
    chosen.erase(chosen.begin() + LOG_FILE_LIMIT, chosen.end());
    VarnockSyslog(VARNOCK_LOG_WARNING,
                  "ostrik: the info page of port %d names %llu access logs: only the first %llu "
                  "are read",
                  static_cast<int>(entry->port),
                  static_cast<unsigned long long>(chosen.size() + state->pageLeftOut),
                  static_cast<unsigned long long>(LOG_FILE_LIMIT));
  }
  state->pageLogs = std::move(chosen);
  state->pageTaken = false;
  state->fromInfo = true;
  follow_page_trust(entry, state);
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
        state->take(one_log_per_section(std::move(one)));
        state->configured = true;
      }
    } else if (state->fromInfo) {
      if (follow_page_trust(entry, state)) {
        state->unreadable = 0;
        state->backlog = 0;
        state->state = kUntrustedPage;
        continue;
      }
    } else if (state->lastProcessScan == 0 ||
               platform_seconds_between(state->lastProcessScan, now) >= kProcessScanInterval) {
      state->lastProcessScan = now;
      const int32_t pid = main_process(entry);
      std::vector<LogSource> found =
          pid != 0 ? log_sources_from_processes(pid, entry->errorLog) : std::vector<LogSource>{};
      if (!found.empty() || !state->looked) {
        state->take(one_log_per_section(std::move(found)));
      }
    }
    read_logs(entry, state);
  }
  if (refresh_hook != nullptr) {
    refresh_hook();
  }
}

void log_set_refresh_hook(void (*hook)(void)) { refresh_hook = hook; }

bool log_state_export(const ServerEntry *entry, LogSavedServer *out) {
  const LogState *state = entry != nullptr ? entry->logs : nullptr;
  if (state == nullptr || (!state->looked && state->handedOn.empty())) {
    return false;
  }
  out->port = entry->port;
  out->since = state->since;
  out->total = state->total;
  out->files.clear();
  out->vhosts.clear();
  for (const LogFile &file : state->files) {
    if (file.tail) {
      out->files.push_back(
          LogSavedFile{file.source.path, file.source.vhost, file.tail->position()});
    }
  }
  // Positions not taken up yet (a log not found again so far) are handed on
  // in turn.
  for (const auto &[key, at] : state->handedOn) {
    const size_t cut = key.find('\n');
    out->files.push_back(LogSavedFile{key.substr(0, cut), key.substr(cut + 1), at});
  }
  for (const VhostRow &row : state->vhosts) {
    out->vhosts.push_back(LogSavedHost{row.name, row.since, row.counters});
  }
  return true;
}

void log_state_import(ServerEntry *entry, LogSavedServer saved) {
  LogState *state = entry != nullptr ? state_of(entry) : nullptr;
  if (state == nullptr) {
    return;
  }
  state->since = saved.since;
  state->total = saved.total;
  state->vhosts.clear();
  for (LogSavedHost &host : saved.vhosts) {
    if (host_like(host.name) && state->vhosts.size() < LOG_VHOST_LIMIT) {
      state->vhosts.push_back(VhostRow{std::move(host.name), host.counters, host.since});
    }
  }
  std::sort(state->vhosts.begin(), state->vhosts.end(), [](const VhostRow &a, const VhostRow &b) {
    return shorter_then_smaller(a.name, b.name);
  });
  state->vhosts.erase(
      std::unique(state->vhosts.begin(), state->vhosts.end(),
                  [](const VhostRow &a, const VhostRow &b) { return a.name == b.name; }),
      state->vhosts.end());
  for (LogSavedFile &file : saved.files) {
    if (state->handedOn.size() < LOG_FILE_LIMIT) {
      state->handedOn.emplace(file.path + '\n' + file.vhost, std::move(file.at));
    }
  }
}
