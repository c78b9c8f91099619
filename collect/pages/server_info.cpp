// The server-info reader: reads a /server-info page's settings by their
// labels and then the main process id from the server's PID file.
#include "collect/pages/server_info.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "collect/logs/access_log.h"
#include "collect/pages/certificates.h"
#include "collect/pages/page_number.h"
#include "collect/pages/page_text.h"
#include "pluginlib/text.h"

namespace {

constexpr int kLineLimit = 512; // characters of a copied line
constexpr int kLineSize = kLineLimit + 1;

// Copies text into a 512-byte field, cut to 511 characters.
void set_text(char (&field)[SERVER_TEXT_FIELD], const char *text) {
  std::snprintf(field, sizeof field, "%s", text);
}

// Copies the first length characters of text into a field (cut to 511).
void set_text_n(char (&field)[SERVER_TEXT_FIELD], const char *text, size_t length) {
  if (length > sizeof field - 1) {
    length = sizeof field - 1;
  }
  std::memcpy(field, text, length);
  field[length] = '\0';
}

// keepAlive from a token: 1 for "yes" or "on" in any case, else 0.
int32_t yes_or_on(const char *token) {
  return equals_ignoring_case(token, "yes") || equals_ignoring_case(token, "on") ? 1 : 0;
}

// The working storage of one page: a line, a sub-line and the field array.
struct PageReader {
  const char *text;
  char line[kLineSize];
  char subLine[kLineSize];
  PageFields fields;

  // find_label_line into line.
  bool line_of(const char *label) {
    return find_label_line(label, text, line, kLineLimit) != nullptr;
  }

  // find_setting_line into line: the first accepted occurrence.
  bool setting_of(const char *label, const char *from = nullptr) {
    return find_setting_line(label, from != nullptr ? from : text, line, kLineLimit) != nullptr;
  }

  // The last accepted occurrence, into line. The settings read this way are
  // server-wide (allowed once per server, outside any section); when the
  // configuration repeats one, the server runs with the last, and the page
  // lists every occurrence in the order the configuration gives them.
  bool last_setting_of(const char *label) {
    char candidate[kLineSize];
    bool found = false;
    const char *from = text;
    while (const char *at = find_setting_line(label, from, candidate, kLineLimit)) {
      std::memcpy(line, candidate, sizeof line);
      found = true;
      from = at + 1;
    }
    return found;
  }

  // Splits line from its start (the label's words first).
  int split_line(const char *delimiters) { return split_fields(delimiters, line, fields); }

  // Splits line after the label that begins it.
  int split_after(const char *label, const char *delimiters) {
    return split_fields(delimiters, line + std::strlen(label), fields);
  }

  int32_t number(int k) const { return page_atoi(fields[k]); }
};

// A server-wide directive's number from the directive listing: token 0 after
// the label, or absent when no occurrence is accepted.
void setting_number(PageReader &page, const char *label, int32_t *field, int32_t absent) {
  if (page.last_setting_of(label)) {
    page.split_after(label, " :");
    *field = page.number(0);
  } else {
    *field = absent;
  }
}

void read_user_group(PageReader &page, ServerEntry *entry) {
  const char *label = "User/Group:";
  if (page.line_of(label)) {
    const int count = page.split_after(label, " /");
    if (count >= 1) {
      set_text(entry->userName, page.fields[0]);
    }
    if (count >= 2) {
      set_text(entry->groupName, page.fields[1]);
    }
    // An unknown user or group: no name to show.
    if (std::strstr(entry->userName, "#-1(1)") != nullptr) {
      set_text(entry->userName, " ");
    }
    if (std::strchr(entry->groupName, '1') != nullptr) {
      set_text(entry->groupName, " ");
    }
    return;
  }
  // No settings line: the directives of the listing. "User " is searched
  // only from the directive's description on, so that "Verify User ID" and
  // the like earlier in the page are not taken for it.
  if (const char *description = std::strstr(page.text, "User -")) {
    if (page.setting_of("User ", description)) {
      page.split_after("User ", " :");
      set_text(entry->userName, page.fields[0]);
    }
  }
  if (page.setting_of("Group ")) {
    page.split_after("Group ", " :");
    set_text(entry->groupName, page.fields[0]);
  }
}

void read_timeouts(PageReader &page, ServerEntry *entry) {
  if (!page.line_of("Timeouts: ")) {
    return;
  }
  if (find_label_line("connection:", page.line, page.subLine, kLineLimit) != nullptr &&
      split_fields(" :", page.subLine, page.fields) >= 2) {
    entry->connectionTimeout = page.number(1);
  }
  if (find_label_line("keep-alive:", page.line, page.subLine, kLineLimit) != nullptr &&
      split_fields(" :", page.subLine, page.fields) >= 2) {
    entry->keepAliveTimeout = page.number(1);
  }
}

void read_server_root(PageReader &page, ServerEntry *entry) {
  if (page.line_of("Server Root")) {
    // The value follows "Server Root: "; a shorter line has none.
    set_text(entry->serverRoot, std::strlen(page.line) > 13 ? page.line + 13 : "");
    return;
  }
  // Without that line, a configuration line "ServerRoot value". The
  // directive's description ("ServerRoot - Common directory ...") is passed
  // over: it holds no directory.
  const char *from = page.text;
  while (const char *at = find_label_line("ServerRoot", from, page.line, kLineLimit)) {
    const char *value = page.line + std::strlen("ServerRoot");
    while (*value == ' ' || *value == '\t') {
      ++value;
    }
    if (*value != '-') {
      size_t length = std::strlen(value);
      if (length > 0 && value[0] == '"') {
        ++value;
        --length;
        if (length > 0 && value[length - 1] == '"') {
          --length;
        }
      }
      set_text_n(entry->serverRoot, value, length);
      return;
    }
    from = at + 1;
  }
}

void read_document_root(PageReader &page, ServerEntry *entry) {
  const char *label = "DocumentRoot ";
  if (!page.setting_of(label)) {
    return;
  }
  if (const char *quote = std::strchr(page.line, '"')) {
    // Everything after the first quote, less the closing quote.
    const char *value = quote + 1;
    const size_t length = std::strlen(value);
    set_text_n(entry->documentRoot, value, length > 0 ? length - 1 : 0);
  } else {
    set_text(entry->documentRoot, page.line + std::strlen(label));
  }
}

// A log path: the directive's first word after the label; or, when the
// directive is not configured, the other label's token.
void read_log(PageReader &page, const char *directive, int directive_token, const char *other,
              int other_token, char (&field)[SERVER_TEXT_FIELD]) {
  int token = directive_token;
  if (!page.setting_of(directive)) {
    if (other == nullptr || !page.setting_of(other)) {
      return;
    }
    token = other_token;
  }
  if (page.split_line(" \"") >= token + 1) {
    set_text(field, page.fields[token]);
  }
}

// The pid as fscanf's "%d" reads it (white space, an optional sign, digits),
// its low 32 bits kept. False when the file holds no number there.
bool read_number(FILE *file, int32_t *value) {
  int c = std::fgetc(file);
  while (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') {
    c = std::fgetc(file);
  }
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = std::fgetc(file);
  }
  if (c < '0' || c > '9') {
    return false;
  }
  uint32_t number = 0;
  for (; c >= '0' && c <= '9'; c = std::fgetc(file)) {
    number = number * 10u + static_cast<uint32_t>(c - '0');
  }
  *value = static_cast<int32_t>(negative ? 0u - number : number);
  return true;
}

struct FileCloser {
  void operator()(FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

} // namespace

void parse_server_info(ServerEntry *entry, const char *text) {
  if (entry == nullptr || text == nullptr) {
    return;
  }
  // About 17 KB of working storage: on the heap, not the agent's stack.
  // Without it the page is passed over, as a page that could not be fetched.
  std::unique_ptr<PageReader> page(new (std::nothrow) PageReader);
  if (!page) {
    return;
  }
  page->text = text;
  PageReader &p = *page;

  if (p.line_of("Server Version:") && p.split_line(" :") >= 3) {
    set_text(entry->version, p.fields[2]);
  }
  const int generation = server_generation(entry);

  if (p.line_of("Run Mode:") && p.split_line(" :") >= 3) {
    set_text(entry->runMode, p.fields[2]);
  }
  read_user_group(p, entry);

  // The host name only. The port on this line is the server's own idea of
  // its canonical port (80 for a request without a Host header, or the port
  // of its ServerName), not the one it listens on: the entry stays at the
  // port on which it was reached.
  if (p.line_of("Hostname/port:") && p.split_after("Hostname/port:", " :") >= 1) {
    set_text(entry->hostname, p.fields[0]);
  }

  if (generation == 1) {
    if (p.line_of("Daemons:")) {
      const int count = p.split_after("Daemons:", " :");
      if (count >= 2) {
        entry->startProcs = p.number(1);
      }
      if (count >= 5) {
        entry->minIdleProcs = p.number(4);
      }
      if (count >= 8) {
        entry->maxIdleProcs = p.number(7);
      }
      if (count >= 10) {
        entry->maxProcs = p.number(9);
      }
    }
    if (p.line_of("Max Requests:")) {
      const int count = p.split_after("Max Requests:", " :");
      if (count >= 3) {
        entry->requestsMaxPerChild = p.number(2);
      }
      if (count >= 6) {
        entry->keepAlive = yes_or_on(p.fields[5]);
      }
      if (count >= 10) {
        entry->requestsMaxPerConn = p.number(9);
      }
    }
    if (p.line_of("Threads:") &&
        find_label_line("per child:", p.line, p.subLine, kLineLimit) != nullptr &&
        split_fields(" :", p.subLine, p.fields) >= 3) {
      entry->threadsPerChild = p.number(2);
    }
  } else {
    setting_number(p, "StartServers ", &entry->startProcs, 0);
    setting_number(p, "MinSpareServers ", &entry->minIdleProcs, 5);
    setting_number(p, "MaxSpareServers ", &entry->maxIdleProcs, 10);
    if (p.line_of("MPM Information:")) {
      if (p.split_after("MPM Information:", " :") >= 3) {
        entry->maxProcs = p.number(2);
      }
    } else {
      entry->maxProcs = 0;
    }
    // Apache 2.4 calls MaxRequestsPerChild MaxConnectionsPerChild.
    if (p.last_setting_of("MaxRequestsPerChild ")) {
      p.split_after("MaxRequestsPerChild ", " :");
      entry->requestsMaxPerChild = p.number(0);
    } else {
      setting_number(p, "MaxConnectionsPerChild ", &entry->requestsMaxPerChild, 10000);
    }
    // KeepAlive and MaxKeepAliveRequests may also stand in a virtual host's
    // section, which the page does not tell apart: the first is the main
    // server's in the usual layout.
    if (p.setting_of("KeepAlive ")) {
      p.split_after("KeepAlive ", " :");
      entry->keepAlive = yes_or_on(p.fields[0]);
    } else {
      entry->keepAlive = 1;
    }
    if (p.setting_of("MaxKeepAliveRequests ")) {
      p.split_after("MaxKeepAliveRequests ", " :");
      entry->requestsMaxPerConn = p.number(0);
    } else {
      entry->requestsMaxPerConn = 100;
    }
    setting_number(p, "ThreadsPerChild ", &entry->threadsPerChild, 0);
  }

  read_timeouts(p, entry);
  read_server_root(p, entry);

  // Everything after the colon, the blank that follows it included.
  if (p.line_of("Config File:")) {
    set_text(entry->configFile, p.line + std::strlen("Config File:"));
  }

  if (generation == 1) {
    if (p.line_of("PID File:") && p.split_line(" :") >= 3) {
      set_text(entry->pidFile, p.fields[2]);
    }
    if (p.line_of("Scoreboard File:") && p.split_line(" :") >= 3) {
      set_text(entry->scoreboardFile, p.fields[2]);
    }
  } else {
    if (p.last_setting_of("PidFile ")) {
      p.split_after("PidFile ", " :");
      set_text(entry->pidFile, p.fields[0]);
    } else {
      set_text(entry->pidFile, "logs/httpd.pid");
    }
    if (p.last_setting_of("ScoreBoardFile ")) {
      p.split_after("ScoreBoardFile ", " :");
      set_text(entry->scoreboardFile, p.fields[0]);
    }
  }

  read_document_root(p, entry);
  read_log(p, "TransferLog ", 1, "CustomLog ", 1, entry->accessLog);
  read_log(p, "ErrorLog ", 1, "Error Log", 2, entry->errorLog);
  read_log(p, "ScriptLog ", 1, "Script Log", 2, entry->scriptLog);
}

int read_pid_file(ServerEntry *entry) {
  if (entry == nullptr) {
    return -1;
  }
  // The PID file under the server root first (the join is made also for an
  // absolute pidFile or an empty root), then the pidFile by itself. A joined
  // path too long for the buffer is not tried.
  char path[SERVER_TEXT_FIELD];
  const int length = std::snprintf(path, sizeof path, "%s/%s", entry->serverRoot, entry->pidFile);
  File file;
  if (length >= 0 && static_cast<size_t>(length) < sizeof path) {
    file.reset(std::fopen(path, "r"));
  }
  if (!file && entry->pidFile[0] != '\0') {
    file.reset(std::fopen(entry->pidFile, "r"));
  }
  if (!file) {
    return -1;
  }
  int32_t pid = 0;
  if (read_number(file.get(), &pid)) {
    entry->pid = pid;
  }
  return 0;
}

PageOutcome read_info_page(ServerEntry *entry, const char *answer, int length, char **text) {
  // The text is never longer than the answer. A buffer that cannot grow
  // passes over the entry as if its answer had been cut short.
  char *grown = static_cast<char *>(std::realloc(*text, static_cast<size_t>(length) + 1));
  if (grown == nullptr) {
    return PAGE_CUT_SHORT;
  }
  *text = grown;
  html_to_text(answer, grown);
  // Every server-info page, of either server generation, states the
  // server's version. A successful answer without it is some other page (a
  // catch-all handler's, a proxy's); reading it would set every directive
  // it lacks to its default.
  if (std::strstr(grown, "Server Version:") == nullptr) {
    return PAGE_NOT_A_PAGE;
  }
  parse_server_info(entry, grown);
  read_pid_file(entry);
  // The log directives are read from the page as served: html_to_text drops
  // the quotes of their format strings with the entities.
  note_info_log_sources(entry, answer);
  note_info_tls_sites(entry, grown);
  return PAGE_OK;
}
