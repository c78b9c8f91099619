#include "collect/page_refresh.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "collect/fetch_page.h"
#include "collect/http_answer.h"
#include "config/server_list.h"
#include "platform/clock.h"
#include "varnock.h"

namespace {

// Redirects are not followed: the page must come from the server the line
// names. Where the server sends the module is logged once, when a page
// turns into a redirect, so that the line can be pointed there.
void note_redirect(const ServerEntry *entry, const char *path, int32_t code, const char *answer,
                   int length) {
  char location[SERVER_TEXT_FIELD] = "";
  if (!http_header(answer, length, "location:", location, sizeof location)) {
    std::snprintf(location, sizeof location, "(none given)");
  }
  VarnockSyslog(VARNOCK_LOG_WARNING,
                "ostrik: %s of the server on port %d is redirected (%d) to %s; redirects are not "
                "followed: name that place in ostrik.cf\n",
                path, static_cast<int>(entry->port), static_cast<int>(code), location);
}

} // namespace

void fetch_and_read_pages(const char *path, PageHealth ServerEntry::*health, PageRead read) {
  size_t count = 0;
  for (const ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    ++count;
  }
  PageFetches fetches(count);
  for (ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    fetches.add(entry, path);
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
    const PageHealth &before = entry->*health;
    if (outcome == PAGE_HTTP_ERROR && code >= 300 && code <= 399 &&
        (before.outcome != outcome || before.httpCode != code)) {
      note_redirect(entry, path, code, response, received);
    }
    note_page_fetch(&(entry->*health), outcome, code, platform_time());
  }
  std::free(text);
}
