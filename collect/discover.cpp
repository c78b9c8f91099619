#include "collect/discover.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "collect/fetch_page.h"
#include "collect/http_answer.h"
#include "collect/listen_owner.h"
#include "collect/server_status.h"
#include "config/read_config.h"
#include "config/server_list.h"
#include "platform/clock.h"
#include "varnock.h"

namespace {

// Problems of the process file system logged per look; the rest are counted.
constexpr size_t kProblemsLogged = 5;

int32_t lastLook = 0;
bool looked = false;
int interval = DISCOVER_INTERVAL;
// Main processes already settled: watched through a row of theirs or
// through a server line naming one of their ports. Others are tried again
// at every look, since a status page may come up later.
std::set<int32_t> settled;

// How a port is asked for its status page. Each scheme is tried on every
// port of the servers still without a row before the next scheme is.
struct ProbeScheme {
  const char *name;
  void (*add)(PageFetches *fetches, uint16_t port, const char *credentials);
};

void add_plain_http(PageFetches *fetches, uint16_t port, const char *credentials) {
  fetches->add("127.0.0.1", port, STATUS_PAGE_PATH, credentials);
}

constexpr ProbeScheme kSchemes[] = {{"http", add_plain_http}};

struct Candidate {
  size_t server;
  uint16_t port;
};

// Whether the answer to one probe is a status page.
bool answers_status(int received, const char *answer, FetchEnd end, ServerEntry *scratch,
                    char **text) {
  int32_t code = 0;
  if (fetch_outcome(received, answer, end, &code) != PAGE_OK) {
    return false;
  }
  return read_status_page(scratch, answer, received, text) == PAGE_OK;
}

void log_problems(const std::vector<PlatformProcProblem> &problems) {
  for (size_t i = 0; i < problems.size() && i < kProblemsLogged; ++i) {
    VarnockSyslog(VARNOCK_LOG_WARNING,
                  "ostrik: discover: %.300s line %d not understood; passed over",
                  problems[i].path.c_str(), problems[i].line);
  }
  if (problems.size() > kProblemsLogged) {
    VarnockSyslog(VARNOCK_LOG_WARNING, "ostrik: discover: %zu more such lines passed over",
                  problems.size() - kProblemsLogged);
  }
}

} // namespace

bool is_apache_name(const char *name) {
  for (const char *base : {"apache2", "apache", "httpd2", "httpd"}) {
    const size_t length = std::strlen(base);
    if (std::strncmp(name, base, length) == 0 &&
        (name[length] == '\0' || name[length] == '-' || name[length] == '.')) {
      return true;
    }
  }
  return false;
}

std::vector<FoundServer> find_servers(const std::vector<PlatformProcess> &processes,
                                      const std::vector<PlatformListener> &listeners,
                                      int *unreachable) {
  std::vector<const PlatformProcess *> byPid;
  byPid.reserve(processes.size());
  for (const PlatformProcess &p : processes) {
    byPid.push_back(&p);
  }
  std::sort(byPid.begin(), byPid.end(),
            [](const PlatformProcess *a, const PlatformProcess *b) { return a->pid < b->pid; });
  const auto parent_is_apache = [&](const PlatformProcess &p) {
    const auto it =
        std::lower_bound(byPid.begin(), byPid.end(), p.ppid,
                         [](const PlatformProcess *q, int32_t pid) { return q->pid < pid; });
    return it != byPid.end() && (*it)->pid == p.ppid && (*it)->pid != p.pid &&
           is_apache_name((*it)->name);
  };

  std::vector<FoundServer> found;
  std::vector<uint64_t> inodes;
  for (const PlatformProcess &p : processes) {
    if (!is_apache_name(p.name) || parent_is_apache(p)) {
      continue;
    }
    inodes.clear();
    if (platform_process_socket_inodes(p.pid, &inodes) != 0 || inodes.empty()) {
      continue;
    }
    std::sort(inodes.begin(), inodes.end());
    FoundServer server{p.pid, {}, {}};
    std::memcpy(server.name, p.name, sizeof server.name);
    for (const PlatformListener &l : listeners) {
      if (!std::binary_search(inodes.begin(), inodes.end(), l.inode)) {
        continue;
      }
      if (reachable_on_loopback(l)) {
        server.ports.push_back(l.port);
      } else if (unreachable != nullptr) {
        ++*unreachable;
      }
    }
    std::sort(server.ports.begin(), server.ports.end());
    server.ports.erase(std::unique(server.ports.begin(), server.ports.end()), server.ports.end());
    if (!server.ports.empty()) {
      found.push_back(std::move(server));
    }
  }
  return found;
}

int discover_servers(void) {
  std::vector<PlatformProcess> processes;
  std::vector<PlatformListener> listeners;
  std::vector<PlatformProcProblem> problems;
  if (platform_list_processes(&processes, &problems) != 0 ||
      platform_list_listeners(&listeners, &problems) != 0) {
    VarnockSyslog(VARNOCK_LOG_WARNING,
                  "ostrik: discover: the processes or their sockets cannot be read here");
    return 0;
  }
  log_problems(problems);
  int unreachable = 0;
  std::vector<FoundServer> servers = find_servers(processes, listeners, &unreachable);
  if (unreachable > 0) {
    VarnockSyslog(VARNOCK_LOG_DEBUG,
                  "ostrik: discover: %d listening sockets passed over: 127.0.0.1 does not "
                  "reach them",
                  unreachable);
  }

  // A server is settled once it has a row, its own or a server line's.
  std::vector<bool> pending(servers.size(), false);
  for (size_t i = 0; i < servers.size(); ++i) {
    const FoundServer &s = servers[i];
    if (settled.count(s.pid) != 0) {
      continue;
    }
    if (std::any_of(s.ports.begin(), s.ports.end(),
                    [](uint16_t port) { return find_server(port) != nullptr; })) {
      settled.insert(s.pid);
      continue;
    }
    pending[i] = true;
  }

  int added = 0;
  auto *scratch = static_cast<ServerEntry *>(std::calloc(1, sizeof(ServerEntry)));
  char *text = nullptr;
  for (const ProbeScheme &scheme : kSchemes) {
    std::vector<Candidate> candidates;
    for (size_t i = 0; i < servers.size(); ++i) {
      for (uint16_t port : servers[i].ports) {
        if (pending[i]) {
          candidates.push_back(Candidate{i, port});
        }
      }
    }
    if (candidates.empty() || scratch == nullptr) {
      break;
    }
    PageFetches fetches(candidates.size());
    for (const Candidate &c : candidates) {
      scheme.add(&fetches, c.port, discover_setting.credentials);
    }
    fetches.run();
    for (size_t k = 0; k < candidates.size(); ++k) {
      const Candidate &c = candidates[k];
      const char *answer = nullptr;
      FetchEnd end = FETCH_NOT_SENT;
      const int received = fetches.take(k, &answer, &end);
      std::memset(scratch, 0, sizeof *scratch);
      if (!pending[c.server] || !answers_status(received, answer, end, scratch, &text)) {
        continue;
      }
      pending[c.server] = false;
      const FoundServer &s = servers[c.server];
      if (add_server(c.port, discover_setting.user, discover_setting.password, 0,
                     discover_setting.credentials) != 1) {
        continue;
      }
      settled.insert(s.pid);
      note_listen_owner(c.port, s.pid);
      ++added;
      VarnockSyslog(VARNOCK_LOG_NOTICE,
                    "ostrik: discover: %s (pid %d) watched at %s://127.0.0.1:%u", s.name,
                    static_cast<int>(s.pid), scheme.name, static_cast<unsigned>(c.port));
    }
  }
  std::free(text);
  std::free(scratch);
  return added;
}

int refresh_discovery(void) {
  if (discover_setting.enabled == 0) {
    return 0;
  }
  if (looked && platform_seconds_between(lastLook, platform_time()) < interval) {
    return 0;
  }
  (void)discover_servers();
  lastLook = platform_time();
  looked = true;
  return 0;
}

void discovery_set_interval(int seconds) { interval = seconds > 0 ? seconds : DISCOVER_INTERVAL; }

void discovery_reset(void) {
  lastLook = 0;
  looked = false;
  settled.clear();
}
