#include "collect/processes/footprint.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "collect/pages/fetch_page.h"
#include "collect/pages/http_answer.h"
#include "collect/pages/page_refresh.h"
#include "collect/pages/server_status.h"
#include "collect/processes/listen_owner.h"
#include "config/server_list.h"
#include "platform/clock.h"
#include "pluginlib/parse_dir.h"
#include "pluginlib/text.h"
#include "pluginlib/topmod.h"
#include "varnock.h"

namespace {

constexpr int32_t kRefreshInterval = 20; // seconds
constexpr int32_t kDocRootDepthLimit = 32;
constexpr size_t kLogPathSize = 512;
// Seconds between two fetches of a server's HTML status page, asked for
// only while its main process cannot be found otherwise.
constexpr int32_t kStatusPidsInterval = 60;

// When each server's HTML status page was last asked for, by port.
std::map<int32_t, int32_t> statusPidsAsked;

// Time of the last refresh, seconds since the epoch; 0 before the first,
// which runs whatever the clock says.
int32_t lastFootprintRefresh = 0;
bool refreshedOnce = false;

void reset_process_columns(ServerEntry *entry) {
  entry->cpuTime = 0;
  entry->rss = 0;
  entry->memSize = 0;
  entry->numThreads = 0;
  entry->inBlocks = 0;
  entry->outBlocks = 0;
  entry->msgsSent = 0;
  entry->msgsRecv = 0;
  entry->sysCalls = 0;
  entry->minorFaults = 0;
  entry->majorFaults = 0;
  entry->numSwaps = 0;
  entry->volCtx = 0;
  entry->involCtx = 0;
  entry->percentMem = 0.0;
  entry->percentCpu = 0.0;
}

// Whole percent of physical memory that a process holds, truncated.
double memory_share(uint32_t memBytes, uint32_t physicalKb) {
  if (physicalKb == 0) {
    return 0.0; // memory size unknown: no share rather than a division by 0
  }
  return std::trunc(static_cast<double>(memBytes) / 1024.0 * 100.0 /
                    static_cast<double>(physicalKb));
}

// The delta table with an index by pid: positions in the table ordered by
// pid, and by table position among equal pids, so that each process finds its
// records by binary search and adds them in table order. Without an index
// (its storage could not be had) the table is searched from end to end.
struct DeltaRef {
  int32_t pid;
  int32_t position;
};

struct DeltaLookup {
  const TopDelta *records = nullptr;
  int32_t count = 0;
  const DeltaRef *index = nullptr;
};

// Storage of the index, kept from one refresh to the next; it grows to the
// table's size and never shrinks, like the snapshot arrays.
DeltaRef *deltaIndex = nullptr;
int32_t deltaIndexCapacity = 0;

} // namespace

void footprint_release(void) {
  std::free(deltaIndex);
  deltaIndex = nullptr;
  deltaIndexCapacity = 0;
}

namespace {

DeltaLookup make_lookup(const TopDelta *records, int32_t count) {
  DeltaLookup lookup{records, count, nullptr};
  if (count > deltaIndexCapacity) {
    void *grown = std::realloc(deltaIndex, static_cast<size_t>(count) * sizeof(DeltaRef));
    if (grown == nullptr) {
      return lookup;
    }
    deltaIndex = static_cast<DeltaRef *>(grown);
    deltaIndexCapacity = count;
  }
  for (int32_t i = 0; i < count; ++i) {
    deltaIndex[i] = DeltaRef{records[i].pid, i};
  }
  std::sort(deltaIndex, deltaIndex + count, [](const DeltaRef &a, const DeltaRef &b) {
    return a.pid != b.pid ? a.pid < b.pid : a.position < b.position;
  });
  lookup.index = deltaIndex;
  return lookup;
}

void add_cpu_share(ServerEntry *entry, double share) {
  entry->percentCpu += share * 10000.0;
  if (entry->percentCpu > 10000.0) {
    entry->percentCpu = 10000.0;
  }
}

// Adds the CPU share of every delta record of the process, in table order.
void add_cpu_shares(ServerEntry *entry, const DeltaLookup &lookup, int32_t pid) {
  if (lookup.index == nullptr) {
    for (int32_t i = 0; i < lookup.count; ++i) {
      if (lookup.records[i].pid == pid) {
        add_cpu_share(entry, lookup.records[i].cpuShare);
      }
    }
    return;
  }
  const DeltaRef *end = lookup.index + lookup.count;
  const DeltaRef *ref = std::lower_bound(
      lookup.index, end, pid, [](const DeltaRef &r, int32_t value) { return r.pid < value; });
  for (; ref != end && ref->pid == pid; ++ref) {
    add_cpu_share(entry, lookup.records[ref->position].cpuShare);
  }
}

// Adds one process of the server to the entry's sums.
void add_process(ServerEntry *entry, const ProcEntry &proc, uint32_t physicalKb,
                 const DeltaLookup &deltas) {
  entry->cpuTime = wrapping_sum({entry->cpuTime, proc.cpuTime});
  entry->rss += proc.rss;
  entry->memSize = wrapping_sum({entry->memSize, proc.memSize});
  entry->percentMem += memory_share(proc.memBytes, physicalKb);
  entry->numThreads = wrapping_sum({entry->numThreads, proc.threads});
  entry->majorFaults = wrapping_sum({entry->majorFaults, proc.faults});
  add_cpu_shares(entry, deltas, proc.pid);
}

// Size in KB of one log, taken as given or else relative to the server root;
// 0 when neither can be read.
int32_t log_size_kb(const ServerEntry *entry, const char *log) {
  int32_t kb = 0;
  if (file_size_kb(log, &kb) == 0) {
    return kb;
  }
  char joined[kLogPathSize];
  const int length = std::snprintf(joined, sizeof joined, "%s/%s", entry->serverRoot, log);
  if (length < 0 || static_cast<size_t>(length) >= sizeof joined) {
    return 0; // a path that does not fit counts as unreadable
  }
  if (file_size_kb(joined, &kb) == 0) {
    return kb;
  }
  return 0;
}

void refresh_disk_columns(ServerEntry *entry) {
  int32_t logs = 0;
  logs = wrapping_sum({logs, log_size_kb(entry, entry->accessLog)});
  logs = wrapping_sum({logs, log_size_kb(entry, entry->errorLog)});
  logs = wrapping_sum({logs, log_size_kb(entry, entry->scriptLog)});
  entry->totalLogSize = logs;

  // lastDocScan 0: never scanned, so the first refresh scans at once.
  if (entry->fileCheckInterval > 0 &&
      (entry->lastDocScan == 0 ||
       platform_seconds_between(entry->lastDocScan, platform_time()) > entry->fileCheckInterval)) {
    entry->docSize = WinDirSizeKB(entry->documentRoot, kDocRootDepthLimit);
    entry->lastDocScan = platform_time();
  }
  entry->totalDiskSize = wrapping_sum({entry->totalLogSize, entry->docSize});
}

// Whether the snapshot holds the process or a child of it.
bool process_listed(const ProcEntry *procs, int32_t count, int32_t pid) {
  for (int32_t i = 0; i < count; ++i) {
    if (procs[i].pid == pid || procs[i].ppid == pid) {
      return true;
    }
  }
  return false;
}

// The server's main process: the PID file's when it or a child runs, else
// the owner of the socket it listens on where it is reached (a server without an info
// page, or whose PID file cannot be read). The listening sockets are read
// once per refresh, and only when a server needs them. 0 when unknown.
class MainProcess {
public:
  MainProcess(const ProcEntry *procs, int32_t count) : procs_(procs), count_(count) {}

  int32_t of(const ServerEntry *entry) {
    if (entry->pid != 0 && process_listed(procs_, count_, entry->pid)) {
      return entry->pid;
    }
    if (!read_) {
      read_ = true;
      (void)platform_list_listeners(&listeners_, nullptr);
      links_.reserve(static_cast<size_t>(count_));
      for (int32_t i = 0; i < count_; ++i) {
        links_.push_back(ProcLink{procs_[i].pid, procs_[i].ppid});
      }
    }
    return listen_owner(static_cast<uint16_t>(entry->port & 0xFFFF), listeners_, links_,
                        &entry->reach.address);
  }

  // The main processes that the servers' HTML status pages vouch for, of
  // the servers whose main process was not found: those whose pages may be
  // believed (pathsTrusted), each at most once a minute. The pages of all
  // are fetched together. False when none was asked for.
  bool ask_status_pages(const std::vector<ServerEntry *> &unseen) {
    const int32_t now = platform_time();
    std::vector<ServerEntry *> asked;
    for (ServerEntry *entry : unseen) {
      const auto last = statusPidsAsked.find(entry->port);
      if (entry->pathsTrusted == 1 &&
          (last == statusPidsAsked.end() ||
           platform_seconds_between(last->second, now) >= kStatusPidsInterval)) {
        statusPidsAsked[entry->port] = now;
        asked.push_back(entry);
      }
    }
    if (asked.empty()) {
      return false;
    }
    PageFetches fetches(asked.size());
    for (ServerEntry *entry : asked) {
      fetches.add(entry, STATUS_HTML_PAGE_PATH);
    }
    fetches.run();
    for (size_t i = 0; i < asked.size(); ++i) {
      const char *answer = nullptr;
      FetchEnd end = FETCH_NOT_SENT;
      const int received = fetches.take(i, &answer, &end);
      int32_t code = 0;
      if (fetch_outcome(received, answer, end, &code) == PAGE_OK) {
        (void)vouch_for_workers(static_cast<uint16_t>(asked[i]->port & 0xFFFF), listeners_,
                                &asked[i]->reach.address, status_page_pids(answer));
      }
      fetches.release(i);
    }
    return true;
  }

private:
  const ProcEntry *procs_;
  int32_t count_;
  bool read_ = false;
  std::vector<PlatformListener> listeners_;
  std::vector<ProcLink> links_;
};

} // namespace

int refresh_footprint(void) {
  // Called while a page refresh waits on servers (the agent reading the
  // variables meanwhile): what is stored is answered.
  if (page_refresh_running()) {
    return 0;
  }
  if (refreshedOnce &&
      platform_seconds_between(lastFootprintRefresh, platform_time()) < kRefreshInterval) {
    return 0;
  }
  refresh_server_info();
  topProcs();

  int32_t deltaCount = 0;
  TopDelta *deltas = nullptr;
  if (pluginLibGetTopDelta(&deltaCount, &deltas) < 0) {
    VarnockSyslog(VARNOCK_LOG_WARNING, "ostrik: pluginLibGetTopDelta failed");
  }
  if (deltas == nullptr || deltaCount < 0) {
    deltaCount = 0;
  }

  int32_t procCount = 0;
  int32_t stamp = 0;
  const ProcEntry *procs = VarnockGetProcCache(&procCount, &stamp);
  if (procs == nullptr || procCount < 0) {
    procCount = 0;
  }
  const uint32_t physicalKb = physical_memory_kb();
  const DeltaLookup lookup = make_lookup(deltas, deltaCount);

  MainProcess mainProcess(procs, procCount);
  std::vector<ServerEntry *> unseen;
  std::map<const ServerEntry *, int32_t> mains;
  for (ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    if ((mains[entry] = mainProcess.of(entry)) == 0) {
      unseen.push_back(entry);
    }
  }
  if (!unseen.empty() && mainProcess.ask_status_pages(unseen)) {
    for (ServerEntry *entry : unseen) {
      mains[entry] = mainProcess.of(entry);
    }
  }
  for (ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    reset_process_columns(entry);
    const int32_t pid = mains[entry];
    // The one user its workers run as, when they agree: the user besides
    // root whose files its pages may name.
    int64_t workers = -1;
    if (pid != 0) {
      for (int32_t i = 0; i < procCount; ++i) {
        if (procs[i].pid == pid || procs[i].ppid == pid) {
          add_process(entry, procs[i], physicalKb, lookup);
        }
        if (procs[i].ppid == pid && procs[i].pid != pid && workers != -2) {
          const int64_t uid = platform_process_uid(procs[i].pid);
          workers = uid < 0 || (workers >= 0 && uid != workers) ? -2 : uid;
        }
      }
    }
    entry->workerUid = workers >= 0 ? static_cast<uint32_t>(workers) : 0;
    refresh_disk_columns(entry);
  }

  lastFootprintRefresh = platform_time();
  refreshedOnce = true;
  return 0;
}

void footprint_reset_for_tests(void) {
  statusPidsAsked.clear();
  lastFootprintRefresh = 0;
  refreshedOnce = false;
}
