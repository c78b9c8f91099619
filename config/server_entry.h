// One monitored web server: its configuration line's values and everything
// collected about it. Keyed by the TCP port on which it is reached.
#pragma once

#include <stdint.h>

#include "platform/net.h"

enum {
  SERVER_NAME_FIELD = 128,        // user, password
  SERVER_CREDENTIALS_FIELD = 129, // Base64 of a 95-character pair is 128 long
  SERVER_TEXT_FIELD = 512,        // every collected text value
};

// How the last fetch of one of a server's pages went (fetch_outcome in
// collect/pages/http_answer.h sorts a fetch into one of these):
// - PAGE_CUT_SHORT also covers a close before the answer was whole (before
//   any byte, inside the header, short of its Content-Length), and an answer
//   the module had no memory to keep or read.
// - PAGE_NOT_A_PAGE is a whole 2xx answer on which the collector finds
//   nothing of its page: an info page without "Server Version:", a status
//   page without any label the status collector reads for the server's
//   generation; and a whole answer without any HTTP status line.
// - httpCode is kept with every outcome whose answer had a status line.
enum PageOutcome : int32_t {
  PAGE_NOT_TRIED = 0,      // no fetch yet
  PAGE_OK = 1,             // a whole, successful answer, read by the collector
  PAGE_CONNECT_FAILED = 2, // no connection, or the request could not be sent
  PAGE_TIMED_OUT = 3,      // no whole answer within the receive time-out
  PAGE_CUT_SHORT = 4,      // the connection was reset, or the size bound hit
  PAGE_HTTP_ERROR = 5,     // a whole answer with a status other than 2xx
  PAGE_NOT_A_PAGE = 6,     // a 2xx answer that is not the page asked for
  PAGE_CERT_REFUSED = 7,   // HTTPS: the server's certificate failed verification
  PAGE_TLS_FAILED = 8,     // HTTPS: the TLS handshake failed otherwise
};

// The collection health of one page of a server.
struct PageHealth {
  int32_t lastRead;  // platform_time() of the last PAGE_OK fetch; 0 never
  int32_t outcome;   // PageOutcome of the last fetch
  int32_t httpCode;  // status code of the last answer's status line; 0 none
  uint32_t failures; // fetches in a row whose outcome was not PAGE_OK
};

// The items of Apache 2.4's status page beyond those of the original
// record, one slot each in StatusExtras::value, in the order of the
// extended performance table's columns.
enum StatusExtra {
  EXTRA_TOTAL_ACCESSES,         // "Total Accesses", all 64 bits
  EXTRA_TOTAL_KBYTES,           // "Total kBytes", all 64 bits
  EXTRA_TOTAL_DURATION,         // "Total Duration", milliseconds
  EXTRA_CPU_LOAD,               // "CPULoad", hundredths of a percent
  EXTRA_LOAD1,                  // "Load1", hundredths
  EXTRA_LOAD5,                  // "Load5", hundredths
  EXTRA_LOAD15,                 // "Load15", hundredths
  EXTRA_PROCESSES,              // "Processes"
  EXTRA_STOPPING,               // "Stopping"
  EXTRA_GRACEFUL_WORKERS,       // "GracefulWorkers"
  EXTRA_CONNS_TOTAL,            // "ConnsTotal"
  EXTRA_CONNS_ASYNC_WRITING,    // "ConnsAsyncWriting"
  EXTRA_CONNS_ASYNC_KEEP_ALIVE, // "ConnsAsyncKeepAlive"
  EXTRA_CONNS_ASYNC_CLOSING,    // "ConnsAsyncClosing"
  EXTRA_CONNS_ASYNC_WAIT_IO,    // "ConnsAsyncWaitIO"
  EXTRA_IDLE_CLEANUP_SLOTS,     // scoreboard 'I'
  EXTRA_CLOSING_SLOTS,          // scoreboard 'C'
  EXTRA_OPEN_SLOTS,             // scoreboard '.'
  EXTRA_SCOREBOARD_SIZE,        // the scoreboard's length
  EXTRA_CONFIG_GENERATION,      // "ParentServerConfigGeneration"
  EXTRA_MPM_GENERATION,         // "ParentServerMPMGeneration"
  EXTRA_COUNT,
};

enum { STATUS_MPM_FIELD = 32 };

enum ServerScheme { SCHEME_HTTP = 0, SCHEME_HTTPS = 1 };
enum { SERVER_HOST_FIELD = 256 };

// Where and how a server is reached. A "server" line of the configuration
// fills it, and so does discovery for a server it finds; an "apache" line
// leaves it zero, which means plain HTTP to 127.0.0.1 at the entry's port
// with the module's receive time-out.
struct ServerReach {
  int32_t scheme;               // ServerScheme
  int32_t timeout;              // receive time-out, 1 to 60 seconds; 0: the module's
  int32_t insecure;             // HTTPS: 1 when the certificate is not verified
  PlatformAddress address;      // family 0: 127.0.0.1
  char host[SERVER_HOST_FIELD]; // as the line names it: Host header, TLS name
  char ca[SERVER_TEXT_FIELD];   // CA file or directory; empty: the system's
  // 1 for a server found by discovery, which nobody named: host is the
  // address it was found at, no name is sent in the TLS handshake, and its
  // certificate may name that address or this machine's host name.
  int32_t discovered;
  // The access log that the line names (log=), and its format string
  // (logformat=, a nickname already resolved); empty: none named.
  char logPath[SERVER_TEXT_FIELD];
  char logFormat[SERVER_TEXT_FIELD];
  // The one user besides root whose listening socket the server's may be
  // (owner=USER, looked up when the file is read): ownerSet is 1 when the
  // line names one; without it root alone is trusted with the credentials.
  int32_t ownerSet;
  uint32_t ownerUid;
};

// The fetch layer's TLS state of one server (its context and the session to
// resume); made at its first HTTPS fetch, released with the entry.
struct TlsState;

// The access-log readers and counters of one server.
struct LogState;

// The members of a server's proxy balancers, as its status page lists them.
struct BalancerState;

// What the last status page read said beyond the original fields. A value
// counts only while its bit (1 << StatusExtra) is set in present, that is
// while the last page read had its line; the MPM name has bit EXTRA_COUNT.
struct StatusExtras {
  uint32_t present;
  char mpm[STATUS_MPM_FIELD]; // "ServerMPM": event, worker, prefork, ...
  uint64_t value[EXTRA_COUNT];
};

struct ServerEntry {
  int32_t port;
  char user[SERVER_NAME_FIELD];
  char password[SERVER_NAME_FIELD];
  char version[SERVER_TEXT_FIELD];
  int32_t pid;
  char runMode[SERVER_TEXT_FIELD];
  char userName[SERVER_TEXT_FIELD];
  char groupName[SERVER_TEXT_FIELD];
  char hostname[SERVER_TEXT_FIELD];
  int32_t startProcs;
  int32_t minIdleProcs;
  int32_t maxIdleProcs;
  int32_t maxProcs;
  int32_t requestsMaxPerChild;
  int32_t keepAlive;
  int32_t requestsMaxPerConn;
  int32_t threadsPerChild;
  int32_t connectionTimeout;
  int32_t keepAliveTimeout;
  char serverRoot[SERVER_TEXT_FIELD];
  char configFile[SERVER_TEXT_FIELD];
  char pidFile[SERVER_TEXT_FIELD];
  char scoreboardFile[SERVER_TEXT_FIELD];
  char credentials[SERVER_CREDENTIALS_FIELD];
  char documentRoot[SERVER_TEXT_FIELD];
  char accessLog[SERVER_TEXT_FIELD];
  char errorLog[SERVER_TEXT_FIELD];
  char scriptLog[SERVER_TEXT_FIELD];
  int32_t uptime;
  int32_t totalAccesses;
  int32_t totalKBytes;
  int32_t busyWorkers;
  int32_t idleWorkers;
  int32_t startingCount;  // scoreboard S
  int32_t readingCount;   // R
  int32_t replyingCount;  // W
  int32_t keepAliveCount; // K
  int32_t dnsCount;       // D
  int32_t loggingCount;   // L
  int32_t finishingCount; // G
  int32_t cpuTime;
  double percentCpu; // hundredths of a percent of the machine, at most 10000
  uint32_t rss;
  int32_t memSize;
  double percentMem; // whole percents of physical memory, summed
  // Process counters, in the order of the footprint table's columns 7 to 17.
  int32_t numThreads;
  int32_t inBlocks;
  int32_t outBlocks;
  int32_t msgsSent;
  int32_t msgsRecv;
  int32_t sysCalls;
  int32_t minorFaults;
  int32_t majorFaults;
  int32_t numSwaps;
  int32_t volCtx;
  int32_t involCtx;
  int32_t totalLogSize;      // KB
  int32_t docSize;           // KB
  int32_t totalDiskSize;     // KB
  int32_t fileCheckInterval; // seconds between document-root scans; <= 0 never
  int32_t lastDocScan;       // seconds since the epoch
  ServerEntry *prev;
  ServerEntry *next;
  // Beyond the original record, after it so that its fields keep their
  // places: how the two pages' fetches went, then what Apache 2.4's status
  // page says beyond the original fields.
  PageHealth statusHealth;
  PageHealth infoHealth;
  StatusExtras extras;
  // Added after the above, which keep their places.
  ServerReach reach;
  TlsState *tls;
  // What the server's access logs said (collect/logs/access_log.h); made at the
  // first status refresh that reads them, released with the entry.
  LogState *logs;
  // Whether what the server says may name files to read: 1 while its
  // listening socket belongs to root or to the user its line names (the
  // collectors set it; 0 until they know). workerUid is the user its worker
  // processes run as, the one user besides root whose files it may name (0
  // until known: root alone).
  int32_t pathsTrusted;
  uint32_t workerUid;
  // 1 while another user than root or the line's owner held the server's
  // port at the last refresh (heldByUid), so that a change is logged once.
  int32_t heldByOther;
  uint32_t heldByUid;
  // The members of the server's proxy balancers (collect/pages/balancer.h), as the
  // last status page read listed them; made at the first page that lists
  // one, released with the entry.
  BalancerState *balancers;
};

// Records the outcome of one fetch of a page in health at time now.
void note_page_fetch(PageHealth *health, PageOutcome outcome, int32_t httpCode, int32_t now);

// Releases a server's TLS state (null is fine); the fetch layer defines it.
void tls_state_free(TlsState *state);
// Releases a server's access-log state (null is fine).
void log_state_free(LogState *state);
// Releases a server's balancer members (null is fine).
void balancer_state_free(BalancerState *state);

// The page layout a server writes: 2 when its version begins with
// "Apache/2.", else 1 (also for an entry that has no version yet).
int server_generation(const ServerEntry *entry);
