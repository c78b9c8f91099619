#include "collect/page_refresh.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

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
  for (ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    entries[s++] = entry;
  }
  for (size_t job = 0; job < jobCount; ++job) {
    for (s = 0; s < servers; ++s) {
      fetches.add(entries[s], jobs[job].path);
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

void page_refresh_set_waiting_hook(RefreshWaitingHook hook) { waiting_hook = hook; }

bool page_refresh_running(void) { return running; }
