// The page refresh: decides when each server's info and status pages are
// due, fetches them from every server together and hands each answer to its
// reader (server_info.h, server_status.h), which only reads.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "config/server_entry.h"
#include "platform/proc_table.h"

enum {
  INFO_REFRESH_INTERVAL = 300,  // seconds between two fetches of the info pages
  STATUS_REFRESH_INTERVAL = 10, // seconds between two fetches of the status pages
};

// At most once every INFO_REFRESH_INTERVAL seconds: fetches every server's
// /server-info page and stores what it reads. When the status pages are due
// as well they go out with the info pages, so that a server that does not
// answer is waited for once, not twice. Always 0.
int refresh_server_info(void);

// At most once every STATUS_REFRESH_INTERVAL seconds: runs the info refresh
// (which fetches the status pages along with its own when it is due), then,
// if the status pages are still due, fetches every server's status page and
// stores what it reads. Each status refresh also reads what every server's
// access logs gained since the last. A server that cannot be fetched keeps
// its values. Always 0.
int refresh_server_status(void);

// Tests only: forget the time of the last info or status refresh, as at
// load, so that the next call runs.
void server_info_reset_for_tests(void);
void server_status_reset_for_tests(void);

// Who holds the socket that a fetch of entry's pages would reach (its
// address, or the any-address, at its port): root or the user its line
// names with owner= (PORT_TRUSTED), another user (PORT_OTHER_USER, *uid set
// to the first such), or no listening socket at all (PORT_NOT_LISTENING).
enum PortHolder { PORT_TRUSTED, PORT_OTHER_USER, PORT_NOT_LISTENING };
PortHolder port_holder(const ServerEntry *entry, const std::vector<PlatformListener> &listeners,
                       uint32_t *uid);

// Reads one whole, successful answer into entry; *text is a work block that
// the reader may grow and that is freed after the last server. Returns the
// fetch's outcome: PAGE_OK, or PAGE_NOT_A_PAGE when the answer is not the
// page asked for.
typedef PageOutcome (*PageRead)(ServerEntry *entry, const char *answer, int length, char **text);

// One page to fetch from every listed server: its path, the health record
// its outcomes go to, and its reader.
struct PageJob {
  const char *path;
  PageHealth ServerEntry::*health;
  PageRead read;
};

// Sends every listed server's requests for the jobs' pages at once and
// awaits all the answers together, so that a server that does not answer is
// waited for once, however many pages are asked of it. Each usable answer
// goes to its job's reader, and each server's outcome is noted in the job's
// health record; a server's pages are read in the jobs' order (the status
// page's labels depend on what the info page said). A server whose answer is
// missing, an error page or cut off keeps what it had.
//
// Before the requests go out, the listening sockets are read once: a server
// whose port another user holds (see port_holder) is asked without its
// credentials and its pages may name no files (pathsTrusted 0); one that
// root or its owner holds, or any where sockets cannot be listed, may
// (pathsTrusted 1).
//
// Without a waiting hook the answers are read when all have ended, in list
// order, as if fetched one by one. With one, each server's answers are read
// as soon as they have ended, and once the wait has lasted 0.1 s the hook is
// called during it: after answers were read (news 1), and at least every
// tenth of a second (news 0).
void fetch_and_read_pages(const PageJob *jobs, size_t jobCount);

// Called while a refresh waits on servers; the agent may read the module's
// variables meanwhile: every refresh then returns at once, and the handlers
// answer what is stored.
typedef void (*RefreshWaitingHook)(int32_t news);
void page_refresh_set_waiting_hook(RefreshWaitingHook hook);

// True while a refresh waits on servers: a refresh called then returns at
// once.
bool page_refresh_running(void);
