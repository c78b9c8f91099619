#include "collect/pages/server_status.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "collect/pages/balancer.h"
#include "collect/pages/fetch_page.h"
#include "collect/pages/http_answer.h"
#include "collect/pages/page_number.h"
#include "collect/pages/page_text.h"

namespace {

constexpr char kDelimiters[] = " :";

bool is_delimiter(char c) { return c != '\0' && std::strchr(kDelimiters, c) != nullptr; }

// Stores token `token` of the line of label into *field when the line splits
// into more than `token` tokens. A label that starts a line wins over an
// earlier occurrence inside another line (ServerUptime: before Uptime:).
void read_token(const char *text, const char *label, int token, char *line, PageFields fields,
                int32_t *field) {
  if (find_label_line_at_start(label, text, line, STATUS_LINE_LIMIT) == nullptr) {
    return;
  }
  if (split_fields(kDelimiters, line, fields) > token) {
    *field = page_atoi(fields[token]);
  }
}

// Token 1 of line, whole (a field of the field array would cut it at 511
// characters): its start and length.
const char *second_token(const char *line, size_t *length) {
  const char *p = line;
  for (int token = 0;; ++token) {
    while (is_delimiter(*p)) {
      ++p;
    }
    if (*p == '\0') {
      return nullptr;
    }
    const char *start = p;
    while (*p != '\0' && !is_delimiter(*p)) {
      ++p;
    }
    if (token == 1) {
      *length = static_cast<size_t>(p - start);
      return start;
    }
  }
}

void count_scoreboard(ServerEntry *entry, const char *line) {
  size_t length = 0;
  const char *board = second_token(line, &length);
  if (board == nullptr) {
    return; // no scoreboard string: the counts keep their values
  }
  entry->startingCount = 0;
  entry->readingCount = 0;
  entry->replyingCount = 0;
  entry->keepAliveCount = 0;
  entry->dnsCount = 0;
  entry->loggingCount = 0;
  entry->finishingCount = 0;
  for (size_t i = 0; i < length; ++i) {
    switch (board[i]) {
    case 'S':
      ++entry->startingCount;
      break;
    case 'R':
      ++entry->readingCount;
      break;
    case 'W':
      ++entry->replyingCount;
      break;
    case 'K':
      ++entry->keepAliveCount;
      break;
    case 'D':
      ++entry->dnsCount;
      break;
    case 'L':
      ++entry->loggingCount;
      break;
    case 'G':
      ++entry->finishingCount;
      break;
    default:
      break; // waiting workers, open slots, any other mark
    }
  }
}

} // namespace

int status_page_generation(const ServerEntry *entry, const char *text) {
  if (entry->version[0] != '\0' || text == nullptr) {
    return server_generation(entry);
  }
  // Without the info page's version the page speaks for itself: 2.4 states
  // its version, and every 2.x page counts workers where 1.3 counted servers.
  char line[STATUS_LINE_LIMIT + 1];
  const char *version = find_label_line_at_start("ServerVersion:", text, line, STATUS_LINE_LIMIT);
  if (version != nullptr && std::strstr(line, "Apache/2.") != nullptr) {
    return 2;
  }
  for (const char *label : {"BusyWorkers:", "IdleWorkers:"}) {
    if (find_label_line_at_start(label, text, line, STATUS_LINE_LIMIT) != nullptr) {
      return 2;
    }
  }
  return 1;
}

void parse_server_status(ServerEntry *entry, const char *text) {
  if (entry == nullptr || text == nullptr) {
    return;
  }
  const bool second = status_page_generation(entry, text) == 2;
  char line[STATUS_LINE_LIMIT + 1];
  PageFields fields;

  read_token(text, "Total Accesses:", 2, line, fields, &entry->totalAccesses);
  read_token(text, "Total kBytes:", 2, line, fields, &entry->totalKBytes);
  read_token(text, "Uptime:", 1, line, fields, &entry->uptime);
  read_token(text, second ? "BusyWorkers:" : "BusyServers:", 1, line, fields, &entry->busyWorkers);
  read_token(text, second ? "IdleWorkers:" : "IdleServers:", 1, line, fields, &entry->idleWorkers);
  if (find_label_line_at_start("Scoreboard:", text, line, STATUS_LINE_LIMIT) != nullptr) {
    count_scoreboard(entry, line);
  }
  parse_status_extras(entry, text);
  parse_balancer_members(entry, text);
}

namespace {

// True when text holds any of the labels that parse_server_status reads for
// entry's server generation: a successful answer without one of them is
// some other page (a catch-all handler's, a proxy's), not a status page.
bool has_status_label(const ServerEntry *entry, const char *text) {
  const bool second = status_page_generation(entry, text) == 2;
  const char *const labels[] = {"Total Accesses:",
                                "Total kBytes:",
                                "Uptime:",
                                second ? "BusyWorkers:" : "BusyServers:",
                                second ? "IdleWorkers:" : "IdleServers:",
                                "Scoreboard:"};
  for (const char *label : labels) {
    if (std::strstr(text, label) != nullptr) {
      return true;
    }
  }
  return false;
}

} // namespace

PageOutcome read_status_page(ServerEntry *entry, const char *answer, int length, char **text) {
  void *grown = std::realloc(*text, static_cast<size_t>(length) + 1);
  if (grown == nullptr) {
    return PAGE_CUT_SHORT; // no room to read this page: as if it had been cut
  }
  *text = static_cast<char *>(grown);
  html_to_text(answer, *text);
  if (!has_status_label(entry, *text)) {
    return PAGE_NOT_A_PAGE; // nothing on it to read
  }
  parse_server_status(entry, *text);
  return PAGE_OK;
}

namespace {

constexpr size_t kMostPids = 256;

// The text of the table cell that starts at p ("<td..."), tags dropped and
// at most 32 characters kept; *next is where the cell ends.
std::string cell_text(const char *p, const char **next) {
  const char *open = std::strchr(p, '>');
  std::string text;
  if (open == nullptr) {
    *next = p + std::strlen(p);
    return text;
  }
  const char *s = open + 1;
  while (*s != '\0' && std::strncmp(s, "</td", 4) != 0 && std::strncmp(s, "<td", 3) != 0 &&
         std::strncmp(s, "</tr", 4) != 0) {
    if (*s == '<') {
      const char *close = std::strchr(s, '>');
      s = close != nullptr ? close + 1 : s + std::strlen(s);
      continue;
    }
    if (text.size() < 32) {
      text.push_back(*s);
    }
    ++s;
  }
  *next = s;
  return text;
}

bool digits(const std::string &text, size_t from, size_t to) {
  return from < to && to <= text.size() &&
         std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from),
                     text.begin() + static_cast<std::ptrdiff_t>(to),
                     [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::vector<int32_t> status_page_pids(const char *html) {
  std::vector<int32_t> pids;
  for (const char *row = html != nullptr ? std::strstr(html, "<tr") : nullptr;
       row != nullptr && pids.size() < kMostPids; row = std::strstr(row + 3, "<tr")) {
    const char *end = std::strstr(row + 3, "<tr");
    std::string cells[2];
    const char *p = row;
    for (std::string &cell : cells) {
      p = std::strstr(p, "<td");
      if (p == nullptr || (end != nullptr && p > end)) {
        break;
      }
      cell = cell_text(p, &p);
    }
    const std::string &slot = cells[0];
    const size_t dash = slot.find('-');
    const bool numbered = dash == std::string::npos
                              ? digits(slot, 0, slot.size())
                              : digits(slot, 0, dash) && digits(slot, dash + 1, slot.size());
    if (!numbered || !digits(cells[1], 0, cells[1].size()) || cells[1].size() > 9) {
      continue;
    }
    const int32_t pid = static_cast<int32_t>(std::strtol(cells[1].c_str(), nullptr, 10));
    if (pid > 0 && std::find(pids.begin(), pids.end(), pid) == pids.end()) {
      pids.push_back(pid);
    }
  }
  return pids;
}
