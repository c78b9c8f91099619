#include "collect/page_refresh.h"

#include <cstdint>
#include <cstdlib>

#include "collect/fetch_page.h"
#include "collect/http_answer.h"
#include "config/server_list.h"
#include "platform/clock.h"

void fetch_and_read_pages(const char *path, PageHealth ServerEntry::*health, PageRead read) {
  size_t count = 0;
  for (const ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    ++count;
  }
  PageFetches fetches(count);
  for (const ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    fetches.add("127.0.0.1", static_cast<uint16_t>(entry->port & 0xFFFF), path, entry->credentials);
  }
  fetches.run();
  char *text = nullptr;
  size_t i = 0;
  for (ServerEntry *entry = server_list; entry != nullptr; entry = entry->next, ++i) {
    const char *response = nullptr;
    FetchEnd end = FETCH_NOT_SENT;
    const int received = fetches.take(i, &response, &end);
    int32_t code = 0;
    PageOutcome outcome = fetch_outcome(received, response, end, &code);
    if (outcome == PAGE_OK) {
      outcome = read(entry, response, received, &text);
    }
    note_page_fetch(&(entry->*health), outcome, code, platform_time());
  }
  std::free(text);
}
