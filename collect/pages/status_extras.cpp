// What Apache 2.4's /server-status?auto page says beyond the original
// fields: the MPM, 64-bit totals, durations, loads, the event MPM's
// process and connection counts, the rest of the scoreboard and the
// generations. Read line by line; an item counts only when a line starts
// with its label.
#include <cstring>

#include "collect/pages/page_number.h"
#include "collect/pages/server_status.h"

namespace {

enum class Reading {
  Number,     // the decimal value of the leading digits
  Hundredths, // a decimal fraction, in hundredths
};

struct ExtraLabel {
  const char *label;
  StatusExtra slot;
  Reading reading;
};

constexpr ExtraLabel kLabels[] = {
    {"Total Accesses:", EXTRA_TOTAL_ACCESSES, Reading::Number},
    {"Total kBytes:", EXTRA_TOTAL_KBYTES, Reading::Number},
    {"Total Duration:", EXTRA_TOTAL_DURATION, Reading::Number},
    {"CPULoad:", EXTRA_CPU_LOAD, Reading::Hundredths},
    {"Load1:", EXTRA_LOAD1, Reading::Hundredths},
    {"Load5:", EXTRA_LOAD5, Reading::Hundredths},
    {"Load15:", EXTRA_LOAD15, Reading::Hundredths},
    {"Processes:", EXTRA_PROCESSES, Reading::Number},
    {"Stopping:", EXTRA_STOPPING, Reading::Number},
    {"GracefulWorkers:", EXTRA_GRACEFUL_WORKERS, Reading::Number},
    {"ConnsTotal:", EXTRA_CONNS_TOTAL, Reading::Number},
    {"ConnsAsyncWriting:", EXTRA_CONNS_ASYNC_WRITING, Reading::Number},
    {"ConnsAsyncKeepAlive:", EXTRA_CONNS_ASYNC_KEEP_ALIVE, Reading::Number},
    {"ConnsAsyncClosing:", EXTRA_CONNS_ASYNC_CLOSING, Reading::Number},
    {"ConnsAsyncWaitIO:", EXTRA_CONNS_ASYNC_WAIT_IO, Reading::Number},
    {"ParentServerConfigGeneration:", EXTRA_CONFIG_GENERATION, Reading::Number},
    {"ParentServerMPMGeneration:", EXTRA_MPM_GENERATION, Reading::Number},
};

constexpr char kMpmLabel[] = "ServerMPM:";
constexpr char kScoreboardLabel[] = "Scoreboard:";

uint32_t bit(unsigned slot) { return 1u << slot; }

// The blanks and colons between a label and its value, as the original
// fields' rules split a line.
bool is_separator(char c) { return c == ' ' || c == ':' || c == '\t' || c == '\r'; }

// The value of a line that starts with label: the first token after the
// label, up to the next separator or the end of the line. Null when the
// line does not start with label or has no value.
const char *value_after(const char *label, const char *line, const char *end, size_t *length) {
  const size_t label_length = std::strlen(label);
  if (static_cast<size_t>(end - line) < label_length ||
      std::strncmp(line, label, label_length) != 0) {
    return nullptr;
  }
  const char *p = line + label_length;
  while (p < end && is_separator(*p)) {
    ++p;
  }
  const char *start = p;
  while (p < end && !is_separator(*p)) {
    ++p;
  }
  *length = static_cast<size_t>(p - start);
  return *length > 0 ? start : nullptr;
}

void count_scoreboard(StatusExtras *extras, const char *board, size_t length) {
  uint64_t cleanup = 0;
  uint64_t closing = 0;
  uint64_t open = 0;
  for (size_t i = 0; i < length; ++i) {
    cleanup += board[i] == 'I' ? 1 : 0;
    closing += board[i] == 'C' ? 1 : 0;
    open += board[i] == '.' ? 1 : 0;
  }
  extras->value[EXTRA_IDLE_CLEANUP_SLOTS] = cleanup;
  extras->value[EXTRA_CLOSING_SLOTS] = closing;
  extras->value[EXTRA_OPEN_SLOTS] = open;
  extras->value[EXTRA_SCOREBOARD_SIZE] = length;
  extras->present |= bit(EXTRA_IDLE_CLEANUP_SLOTS) | bit(EXTRA_CLOSING_SLOTS) |
                     bit(EXTRA_OPEN_SLOTS) | bit(EXTRA_SCOREBOARD_SIZE);
}

// Reads the items of one line [line, end) that no earlier line gave.
void read_line(StatusExtras *extras, const char *line, const char *end) {
  size_t length = 0;
  for (const ExtraLabel &item : kLabels) {
    if ((extras->present & bit(item.slot)) != 0) {
      continue;
    }
    const char *value = value_after(item.label, line, end, &length);
    if (value == nullptr) {
      continue;
    }
    // The value ends at a separator or a line feed, where both readings stop.
    extras->value[item.slot] =
        item.reading == Reading::Number ? page_u64(value) : page_hundredths(value);
    extras->present |= bit(item.slot);
    return;
  }
  if ((extras->present & bit(EXTRA_COUNT)) == 0) {
    const char *value = value_after(kMpmLabel, line, end, &length);
    if (value != nullptr) {
      const size_t kept = length < sizeof extras->mpm ? length : sizeof extras->mpm - 1;
      std::memcpy(extras->mpm, value, kept);
      extras->mpm[kept] = '\0';
      extras->present |= bit(EXTRA_COUNT);
      return;
    }
  }
  if ((extras->present & bit(EXTRA_SCOREBOARD_SIZE)) == 0) {
    const char *board = value_after(kScoreboardLabel, line, end, &length);
    if (board != nullptr) {
      count_scoreboard(extras, board, length);
    }
  }
}

} // namespace

void parse_status_extras(ServerEntry *entry, const char *text) {
  if (entry == nullptr || text == nullptr) {
    return;
  }
  StatusExtras *extras = &entry->extras;
  std::memset(extras, 0, sizeof *extras);
  const char *line = text;
  while (*line != '\0') {
    const char *end = std::strchr(line, '\n');
    if (end == nullptr) {
      end = line + std::strlen(line);
    }
    read_line(extras, line, end);
    line = *end == '\0' ? end : end + 1;
  }
}
