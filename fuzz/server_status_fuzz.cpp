// Fuzzes the server-status field rules (parse_server_status) on a page made
// from the input. Byte 0 chooses the entry's state before the page:
//   bit 0  version "Apache/2.4.57 (Debian)" (generation 2 labels)
//   bit 1  the page goes through html_to_text first, as the refresh does
//   bit 2  the Apache 2.4 items hold garbage from before
// The rest is the page. Afterwards only the twelve status fields and the
// Apache 2.4 items may differ, and the seven scoreboard counts are either
// all as before or all freshly counted: none negative, their sum no more
// than the page's length. The Apache 2.4 items are all replaced: an absent
// one is 0, the MPM name ends within its field, the scoreboard's marks fit
// its length and the length fits the page; reading the page again gives
// the same items.
#include <cstring>
#include <memory>

#include "collect/pages/page_text.h"
#include "collect/pages/server_status.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr int32_t kBefore = -1; // no count can become negative by counting

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Bytes in{data, size};
  const uint8_t mode = in.byte();
  std::unique_ptr<char[]> page = in.rest();

  auto entry = std::make_unique<ServerEntry>();
  std::memset(entry.get(), 0, sizeof(ServerEntry));
  entry->port = 8080;
  if ((mode & 1) != 0) {
    std::snprintf(entry->version, sizeof entry->version, "%s", "Apache/2.4.57 (Debian)");
  }
  int32_t *counts[] = {&entry->startingCount,  &entry->readingCount, &entry->replyingCount,
                       &entry->keepAliveCount, &entry->dnsCount,     &entry->loggingCount,
                       &entry->finishingCount};
  for (int32_t *count : counts) {
    *count = kBefore;
  }
  if ((mode & 4) != 0) {
    std::memset(&entry->extras, 0xAB, sizeof entry->extras);
  }

  std::unique_ptr<char[]> text;
  if ((mode & 2) != 0) {
    text.reset(new char[std::strlen(page.get()) + 1]);
    html_to_text(page.get(), text.get());
  } else {
    text = std::move(page);
  }
  const size_t text_length = std::strlen(text.get());

  auto expected = std::make_unique<ServerEntry>();
  std::memcpy(expected.get(), entry.get(), sizeof(ServerEntry));

  parse_server_status(entry.get(), text.get());

  bool counted = false;
  int64_t sum = 0;
  for (int32_t *count : counts) {
    counted = counted || *count != kBefore;
    sum += *count;
  }
  if (counted) {
    for (int32_t *count : counts) {
      fuzz::check(*count >= 0, "a scoreboard count is negative after counting");
    }
    fuzz::check(sum <= static_cast<int64_t>(text_length), "more workers counted than characters");
    fuzz::check(sum <= STATUS_LINE_LIMIT, "scoreboard counted past the line limit");
  }

  expected->uptime = entry->uptime;
  expected->totalAccesses = entry->totalAccesses;
  expected->totalKBytes = entry->totalKBytes;
  expected->busyWorkers = entry->busyWorkers;
  expected->idleWorkers = entry->idleWorkers;
  expected->startingCount = entry->startingCount;
  expected->readingCount = entry->readingCount;
  expected->replyingCount = entry->replyingCount;
  expected->keepAliveCount = entry->keepAliveCount;
  expected->dnsCount = entry->dnsCount;
  expected->loggingCount = entry->loggingCount;
  expected->finishingCount = entry->finishingCount;
  expected->extras = entry->extras;
  fuzz::check(std::memcmp(expected.get(), entry.get(), sizeof(ServerEntry)) == 0,
              "a field outside the server-status columns was written");

  const StatusExtras &extras = entry->extras;
  fuzz::check((extras.present >> (EXTRA_COUNT + 1)) == 0, "an item beyond the last is present");
  for (int slot = 0; slot < EXTRA_COUNT; ++slot) {
    fuzz::check(((extras.present >> slot) & 1u) != 0 || extras.value[slot] == 0,
                "an absent item holds a value");
  }
  fuzz::check(fuzz::terminated(extras.mpm, sizeof extras.mpm), "the MPM name is not terminated");
  fuzz::check(((extras.present >> EXTRA_COUNT) & 1u) != 0 || extras.mpm[0] == '\0',
              "an absent MPM name holds text");
  const uint64_t marks = extras.value[EXTRA_IDLE_CLEANUP_SLOTS] +
                         extras.value[EXTRA_CLOSING_SLOTS] + extras.value[EXTRA_OPEN_SLOTS];
  fuzz::check(marks <= extras.value[EXTRA_SCOREBOARD_SIZE], "more marks than scoreboard slots");
  fuzz::check(extras.value[EXTRA_SCOREBOARD_SIZE] <= text_length, "scoreboard longer than page");
  const StatusExtras first = extras;
  parse_status_extras(entry.get(), text.get());
  fuzz::check(std::memcmp(&first, &entry->extras, sizeof first) == 0,
              "the same page read twice gives other items");
  return 0;
}
