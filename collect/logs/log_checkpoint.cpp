// The checkpoint's text: a version line, one line per server, log and
// virtual host, and a last line with the count of lines and a hash of all
// before it, so that a file damaged or cut anywhere is refused whole.
#include "collect/logs/log_checkpoint.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

#include "config/server_list.h"
#include "platform/fs.h"
#include "varnock.h"

namespace {

constexpr char kHeader[] = "ostrik-log-checkpoint 1";
constexpr size_t kMaxServers = 65535;
constexpr size_t kMaxPath = 4096;
constexpr size_t kCounterFields = 21;

std::string directory_field;
std::string last_written; // the checkpoint as last written (or read)
bool said_failure = false;

uint64_t fnv1a(const char *data, size_t size) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < size; ++i) {
    hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
  }
  return hash;
}

void put_number(std::string &out, uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, " %llu", static_cast<unsigned long long>(value));
  out += text;
}

// Bytes as hex, "-" for none: a field never empty and never holding a blank.
void put_bytes(std::string &out, const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  out += ' ';
  if (bytes.empty()) {
    out += '-';
  }
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
}

void put_counters(std::string &out, const LogCounters &c) {
  const uint64_t fields[kCounterFields] = {
      c.lines,        c.unparsed,     c.status[0],    c.status[1],    c.status[2],
      c.status[3],    c.status[4],    c.bytes,        c.timed,        c.timeSum,
      c.atOrBelow[0], c.atOrBelow[1], c.atOrBelow[2], c.atOrBelow[3], c.atOrBelow[4],
      c.atOrBelow[5], c.atOrBelow[6], c.atOrBelow[7], c.atOrBelow[8], c.atOrBelow[9],
      c.atOrBelow[10]};
  for (uint64_t f : fields) {
    put_number(out, f);
  }
  put_number(out, c.gives);
}

// Reads one line's blank-separated fields in turn; any field that is not
// what is asked for makes the reader fail for good.
class Fields {
public:
  explicit Fields(const std::string &line) : line_(line) {}
  bool ok() const { return ok_; }
  bool done() { return ok_ && at_ >= line_.size(); }

  std::string word() {
    while (at_ < line_.size() && line_[at_] == ' ') {
      ++at_;
    }
    const size_t start = at_;
    while (at_ < line_.size() && line_[at_] != ' ') {
      ++at_;
    }
    ok_ = ok_ && at_ > start;
    return line_.substr(start, at_ - start);
  }
  uint64_t number(uint64_t most = UINT64_MAX) {
    const std::string w = word();
    if (!ok_ || w.size() > 20 || w.find_first_not_of("0123456789") != std::string::npos) {
      ok_ = false;
      return 0;
    }
    char *end = nullptr;
    const unsigned long long value = strtoull(w.c_str(), &end, 10);
    ok_ = *end == '\0' && value <= most && !(value == ULLONG_MAX && w != "18446744073709551615");
    return ok_ ? value : 0;
  }
  std::string bytes(size_t most) {
    const std::string w = word();
    std::string out;
    if (!ok_ || w == "-") {
      return out;
    }
    if (w.size() % 2 != 0 || w.size() / 2 > most) {
      ok_ = false;
      return out;
    }
    for (size_t i = 0; i < w.size(); i += 2) {
      const int hi = digit(w[i]);
      const int lo = digit(w[i + 1]);
      if (hi < 0 || lo < 0) {
        ok_ = false;
        return std::string();
      }
      out += static_cast<char>(hi * 16 + lo);
    }
    return out;
  }
  LogCounters counters() {
    LogCounters c{};
    uint64_t *const fields[kCounterFields] = {
        &c.lines,        &c.unparsed,     &c.status[0],    &c.status[1],    &c.status[2],
        &c.status[3],    &c.status[4],    &c.bytes,        &c.timed,        &c.timeSum,
        &c.atOrBelow[0], &c.atOrBelow[1], &c.atOrBelow[2], &c.atOrBelow[3], &c.atOrBelow[4],
        &c.atOrBelow[5], &c.atOrBelow[6], &c.atOrBelow[7], &c.atOrBelow[8], &c.atOrBelow[9],
        &c.atOrBelow[10]};
    for (uint64_t *f : fields) {
      *f = number();
    }
    c.gives = static_cast<uint32_t>(number(UINT32_MAX));
    return c;
  }

private:
  static int digit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  }
  const std::string &line_;
  size_t at_ = 0;
  bool ok_ = true;
};

bool decode_lines(const std::string &text, std::vector<LogSavedServer> *out) {
  // The last line: "E LINES HASH" over everything before it.
  if (text.size() < 2 || text.back() != '\n') {
    return false;
  }
  const size_t last = text.rfind('\n', text.size() - 2);
  if (last == std::string::npos) {
    return false;
  }
  const std::string body = text.substr(0, last + 1);
  const std::string end = text.substr(last + 1, text.size() - last - 2);
  Fields tail(end);
  const uint64_t lineCount = (tail.word() == "E") ? tail.number() : 0;
  const uint64_t hash = tail.number();
  if (!tail.ok() || !tail.done() || hash != fnv1a(body.data(), body.size())) {
    return false;
  }
  std::vector<LogSavedServer> servers;
  size_t lines = 0;
  size_t filesLeft = 0;
  size_t hostsLeft = 0;
  for (size_t at = 0; at < body.size(); ++lines) {
    const size_t newline = body.find('\n', at);
    const std::string line = body.substr(at, newline - at);
    at = newline + 1;
    if (lines == 0) {
      if (line != kHeader) {
        return false;
      }
      continue;
    }
    Fields f(line);
    const std::string kind = f.word();
    if (kind == "S" && filesLeft == 0 && hostsLeft == 0 && servers.size() < kMaxServers) {
      LogSavedServer s;
      s.port = static_cast<int32_t>(f.number(65535));
      s.since = static_cast<int64_t>(f.number(INT64_MAX));
      filesLeft = f.number(LOG_FILE_LIMIT);
      hostsLeft = f.number(LOG_VHOST_LIMIT);
      s.total = f.counters();
      servers.push_back(std::move(s));
    } else if (kind == "F" && filesLeft > 0) {
      --filesLeft;
      LogSavedFile file;
      file.path = f.bytes(kMaxPath);
      file.vhost = f.bytes(kMaxPath);
      LogTailPosition &p = file.at;
      p.known = f.number(1) != 0;
      p.volume = f.number();
      p.index = f.number();
      p.offset = f.number();
      p.signature = f.bytes(256);
      p.partial = f.number(LOG_LINE_LIMIT + 1);
      p.skipped = f.number();
      p.discarding = f.number(1) != 0;
      p.copying = f.number(1) != 0;
      p.copyPath = f.bytes(kMaxPath);
      p.copyVolume = f.number();
      p.copyIndex = f.number();
      p.copyOffset = f.number();
      p.copyEnd = f.number();
      servers.back().files.push_back(std::move(file));
    } else if (kind == "H" && filesLeft == 0 && hostsLeft > 0) {
      --hostsLeft;
      LogSavedHost host;
      host.name = f.bytes(LOG_VHOST_NAME_MAX);
      host.since = static_cast<int64_t>(f.number(INT64_MAX));
      host.counters = f.counters();
      servers.back().vhosts.push_back(std::move(host));
    } else {
      return false;
    }
    if (!f.done()) {
      return false;
    }
  }
  if (lines != lineCount || filesLeft != 0 || hostsLeft != 0) {
    return false;
  }
  *out = std::move(servers);
  return true;
}

std::string checkpoint_path() { return directory_field + "/" + LOG_CHECKPOINT_FILE; }

// Reads the checkpoint, at most LOG_CHECKPOINT_MAX bytes of it; "" when
// there is none. False when it is there but cannot be read whole.
bool read_checkpoint(std::string *text) {
  FILE *file = fopen(checkpoint_path().c_str(), "rb");
  if (file == nullptr) {
    return true; // none yet: counts begin now
  }
  char buffer[65536];
  size_t got = 0;
  bool ok = true;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
    if (text->size() + got > LOG_CHECKPOINT_MAX) {
      ok = false;
      break;
    }
    text->append(buffer, got);
  }
  ok = ok && ferror(file) == 0;
  fclose(file);
  return ok;
}

void save_after_refresh(void) { (void)log_checkpoint_save(); }

} // namespace

std::string log_checkpoint_encode(const std::vector<LogSavedServer> &servers) {
  std::string out = std::string(kHeader) + "\n";
  size_t lines = 1;
  for (const LogSavedServer &s : servers) {
    out += "S";
    put_number(out, static_cast<uint64_t>(s.port));
    put_number(out, static_cast<uint64_t>(s.since > 0 ? s.since : 0));
    put_number(out, s.files.size());
    put_number(out, s.vhosts.size());
    put_counters(out, s.total);
    out += '\n';
    for (const LogSavedFile &file : s.files) {
      const LogTailPosition &p = file.at;
      out += "F";
      put_bytes(out, file.path);
      put_bytes(out, file.vhost);
      put_number(out, p.known ? 1 : 0);
      put_number(out, p.volume);
      put_number(out, p.index);
      put_number(out, p.offset);
      put_bytes(out, p.signature);
      put_number(out, p.partial);
      put_number(out, p.skipped);
      put_number(out, p.discarding ? 1 : 0);
      put_number(out, p.copying ? 1 : 0);
      put_bytes(out, p.copyPath);
      put_number(out, p.copyVolume);
      put_number(out, p.copyIndex);
      put_number(out, p.copyOffset);
      put_number(out, p.copyEnd);
      out += '\n';
    }
    for (const LogSavedHost &host : s.vhosts) {
      out += "H";
      put_bytes(out, host.name);
      put_number(out, static_cast<uint64_t>(host.since > 0 ? host.since : 0));
      put_counters(out, host.counters);
      out += '\n';
    }
    lines += 1 + s.files.size() + s.vhosts.size();
  }
  const uint64_t hash = fnv1a(out.data(), out.size());
  out += "E";
  put_number(out, lines);
  put_number(out, hash);
  out += '\n';
  return out;
}

bool log_checkpoint_decode(const std::string &text, std::vector<LogSavedServer> *out) {
  try {
    return decode_lines(text, out);
  } catch (...) {
    return false; // no memory for it: refused like a damaged one
  }
}

std::vector<LogSavedServer> log_checkpoint_gather(void) {
  std::vector<LogSavedServer> out;
  for (const ServerEntry *e = server_list; e != nullptr; e = e->next) {
    LogSavedServer saved;
    if (log_state_export(e, &saved)) {
      out.push_back(std::move(saved));
    }
  }
  return out;
}

void log_checkpoint_give(std::vector<LogSavedServer> servers) {
  for (LogSavedServer &saved : servers) {
    if (ServerEntry *e = find_server(saved.port)) {
      log_state_import(e, std::move(saved));
    }
  }
}

void log_checkpoint_start(const std::string &directory, const std::string *handedOn) {
  directory_field = directory;
  last_written.clear();
  said_failure = false;
  std::vector<LogSavedServer> servers;
  if (handedOn != nullptr) {
    if (log_checkpoint_decode(*handedOn, &servers)) {
      log_checkpoint_give(std::move(servers));
    }
  } else if (!directory.empty()) {
    std::string text;
    if (!read_checkpoint(&text) || (!text.empty() && !log_checkpoint_decode(text, &servers))) {
      VarnockSyslog(VARNOCK_LOG_WARNING,
                    "ostrik: the access-log checkpoint %s is damaged and not used: the log "
                    "counters begin anew",
                    checkpoint_path().c_str());
    } else {
      log_checkpoint_give(std::move(servers));
      last_written = text;
    }
  }
  log_set_refresh_hook(directory.empty() ? nullptr : save_after_refresh);
}

void log_checkpoint_stop(void) {
  log_set_refresh_hook(nullptr);
  directory_field.clear();
  last_written.clear();
}

bool log_checkpoint_save(void) {
  if (directory_field.empty()) {
    return false;
  }
  std::string text;
  try {
    text = log_checkpoint_encode(log_checkpoint_gather());
  } catch (...) {
    return false;
  }
  if (text == last_written) {
    return true;
  }
  const bool ok = platform_replace_file(checkpoint_path().c_str(), text.data(), text.size()) == 0;
  if (ok) {
    last_written = std::move(text);
  }
  if (ok == said_failure) {
    said_failure = !ok;
    if (!ok) {
      VarnockSyslog(VARNOCK_LOG_WARNING,
                    "ostrik: the access-log checkpoint %s cannot be written: a restart would "
                    "begin the log counters anew",
                    checkpoint_path().c_str());
    } else {
      VarnockSyslog(VARNOCK_LOG_NOTICE, "ostrik: the access-log checkpoint %s is written again",
                    checkpoint_path().c_str());
    }
  }
  return ok;
}
