#include "config/server_entry.h"

#include <cstring>

int server_generation(const ServerEntry *entry) {
  return std::strncmp(entry->version, "Apache/2.", 9) == 0 ? 2 : 1;
}

void note_page_fetch(PageHealth *health, PageOutcome outcome, int32_t httpCode, int32_t now) {
  health->outcome = outcome;
  health->httpCode = httpCode;
  if (outcome == PAGE_OK) {
    health->lastRead = now;
    health->failures = 0;
  } else if (health->failures != UINT32_MAX) {
    ++health->failures;
  }
}
