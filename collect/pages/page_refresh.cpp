#include "collect/pages/page_refresh.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "collect/logs/access_log.h"
#include "collect/pages/fetch_page.h"
#include "collect/pages/http_answer.h"
#include "collect/pages/server_info.h"
#include "collect/pages/server_status.h"
#include "collect/processes/listen_owner.h"
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

// Decides, for one refresh, whether each server gets its credentials, and
// logs when the user holding a server's port changes to or from another.
// True when they are to be withheld.
bool withhold_credentials(ServerEntry *entry, const std::vector<PlatformListener> &listeners,
                          bool listed) {
  if (!listed) {
    entry->pathsTrusted = 1; // no socket table here: as before
    return false;
  }
  uint32_t uid = 0;
  switch (port_holder(entry, listeners, &uid)) {
  case PORT_NOT_LISTENING:
    return false; // nothing to reach: the fetch fails without sending anything
  case PORT_TRUSTED:
    if (entry->heldByOther != 0) {
      VarnockSyslog(VARNOCK_LOG_NOTICE,
                    "ostrik: port %d is held by its server's user again: credentials sent\n",
                    static_cast<int>(entry->port));
    }
    entry->heldByOther = 0;
    entry->pathsTrusted = 1;
    return false;
  case PORT_OTHER_USER:
    break;
  }
  if (entry->heldByOther == 0 || entry->heldByUid != uid) {
    VarnockSyslog(VARNOCK_LOG_WARNING,
                  "ostrik: port %d is held by user %u, not root%s: its credentials are withheld "
                  "and its pages name no files (a server run by a user is named by a server "
                  "line with owner=)\n",
                  static_cast<int>(entry->port), static_cast<unsigned>(uid),
                  entry->reach.ownerSet != 0 ? " or the line's owner" : "");
  }
  entry->heldByOther = 1;
  entry->heldByUid = uid;
  entry->pathsTrusted = 0;
  return true;
}

bool running = false;
RefreshWaitingHook waiting_hook = nullptr;

// One refresh's fetches: fetch job * servers + server is the job's page of
// the server at that place in the list.
struct PageRun {
  const PageJob *jobs;
  size_t jobCount;
  size_t servers;
  ServerEntry **entries; // in list order
  size_t *next;          // per server: the job whose answer is read next
  PageFetches *fetches;
  char *text;
  std::chrono::steady_clock::time_point began;
  bool unheard; // answers read that the hook has not been told of

  // Reads every answer that has ended and whose server's earlier pages are
  // read: page by page, each in list order. True when one was.
  bool read_ended() {
    bool any = false;
    for (size_t job = 0; job < jobCount; ++job) {
      for (size_t s = 0; s < servers; ++s) {
        if (next[s] == job && fetches->ended(job * servers + s)) {
          read_one(next[s]++, s);
          any = true;
        }
      }
    }
    return any;
  }

  void read_one(size_t job, size_t s) {
    const size_t i = job * servers + s;
    const char *response = nullptr;
    FetchEnd end = FETCH_NOT_SENT;
    const int received = fetches->take(i, &response, &end);
    int32_t code = 0;
    PageOutcome outcome = fetch_outcome(received, response, end, &code);
    if (outcome == PAGE_OK) {
      outcome = jobs[job].read(entries[s], response, received, &text);
    }
    const PageHealth &before = entries[s]->*jobs[job].health;
    if (outcome == PAGE_HTTP_ERROR && code >= 300 && code <= 399 &&
        (before.outcome != outcome || before.httpCode != code)) {
      note_redirect(entries[s], jobs[job].path, code, response, received);
    }
    note_page_fetch(&(entries[s]->*jobs[job].health), outcome, code, platform_time());
    fetches->release(i);
  }
};

// Answers that all come within this are published with the collection that
// asked for them: the agent hears of a wait only once it has lasted this long.
constexpr auto kQuiet = std::chrono::milliseconds(100);

void on_progress(void *context, bool) {
  PageRun *run = static_cast<PageRun *>(context);
  run->unheard = run->read_ended() || run->unheard;
  if (std::chrono::steady_clock::now() - run->began >= kQuiet) {
    waiting_hook(run->unheard ? 1 : 0);
    run->unheard = false;
  }
}

} // namespace

PortHolder port_holder(const ServerEntry *entry, const std::vector<PlatformListener> &listeners,
                       uint32_t *uid) {
  PortHolder holder = PORT_NOT_LISTENING;
  for (const PlatformListener &l : listeners) {
    if (l.port != entry->port || !listener_reaches(l, entry->reach.address)) {
      continue;
    }
    if (l.uid == 0 || (entry->reach.ownerSet != 0 && l.uid == entry->reach.ownerUid)) {
      holder = holder == PORT_NOT_LISTENING ? PORT_TRUSTED : holder;
    } else if (holder != PORT_OTHER_USER) {
      holder = PORT_OTHER_USER;
      *uid = l.uid;
    }
  }
  return holder;
}

void fetch_and_read_pages(const PageJob *jobs, size_t jobCount) {
  size_t servers = 0;
  for (const ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    ++servers;
  }
  std::unique_ptr<ServerEntry *[]> entries(new (std::nothrow) ServerEntry *[servers + 1]);
  std::unique_ptr<size_t[]> next(new (std::nothrow) size_t[servers + 1]());
  if (!entries || !next) {
    return; // no memory to keep track: every server keeps what it had
  }
  PageFetches fetches(servers * jobCount);
  size_t s = 0;
  std::vector<PlatformListener> listeners;
  const bool listed = platform_list_listeners(&listeners, nullptr) == 0;
  std::vector<char> withhold(servers, 0);
  for (ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    withhold[s] = withhold_credentials(entry, listeners, listed) ? 1 : 0;
    entries[s++] = entry;
  }
  for (size_t job = 0; job < jobCount; ++job) {
    for (s = 0; s < servers; ++s) {
      fetches.add(entries[s], jobs[job].path, nullptr, withhold[s] != 0);
    }
  }
  PageRun run{jobs,       jobCount, servers, entries.get(),
              next.get(), &fetches, nullptr, std::chrono::steady_clock::now(),
              false};
  running = true;
  if (waiting_hook != nullptr) {
    fetches.run(on_progress, &run);
  } else {
    fetches.run();
  }
  // What is left, server by server in list order: every answer has ended.
  run.read_ended();
  running = false;
  std::free(run.text);
}

namespace {

// When each refresh last ended, seconds since the epoch; 0 at load: never
// refreshed, so the first call runs whatever the clock says (past 2038 too,
// when the time is negative).
int32_t lastInfoRefresh = 0;
int32_t lastStatusRefresh = 0;

const PageJob kInfoJob{INFO_PAGE_PATH, &ServerEntry::infoHealth, read_info_page};
const PageJob kStatusJob{STATUS_PAGE_PATH, &ServerEntry::statusHealth, read_status_page};

bool status_due() {
  return lastStatusRefresh == 0 ||
         platform_seconds_between(lastStatusRefresh, platform_time()) >= STATUS_REFRESH_INTERVAL;
}

// Marks the status refresh done now, and reads what every server's access
// logs gained since the last: that goes with every status refresh, whichever
// refresh sent the status pages.
void status_refreshed() {
  lastStatusRefresh = platform_time();
  refresh_access_logs();
}

} // namespace

int refresh_server_info(void) {
  if (running) {
    return 0;
  }
  const int32_t now = platform_time();
  if (lastInfoRefresh != 0 &&
      platform_seconds_between(lastInfoRefresh, now) < INFO_REFRESH_INTERVAL) {
    return 0;
  }
  const bool status = status_due();
  const PageJob jobs[2] = {kInfoJob, kStatusJob};
  fetch_and_read_pages(jobs, status ? 2 : 1);
  lastInfoRefresh = platform_time();
  if (status) {
    status_refreshed();
  }
  return 0;
}

int refresh_server_status(void) {
  if (running || !status_due()) {
    return 0;
  }
  refresh_server_info();
  if (status_due()) {
    fetch_and_read_pages(&kStatusJob, 1);
    status_refreshed();
  }
  return 0;
}

void server_info_reset_for_tests(void) { lastInfoRefresh = 0; }

void server_status_reset_for_tests(void) { lastStatusRefresh = 0; }

void page_refresh_set_waiting_hook(RefreshWaitingHook hook) { waiting_hook = hook; }

bool page_refresh_running(void) { return running; }
