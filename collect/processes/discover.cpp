#include "collect/processes/discover.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <utility>

#include "collect/pages/fetch_page.h"
#include "collect/pages/http_answer.h"
#include "collect/pages/server_status.h"
#include "collect/pages/tls.h"
#include "collect/processes/listen_owner.h"
#include "config/read_config.h"
#include "config/server_list.h"
#include "platform/clock.h"
#include "varnock.h"

namespace {

// Problems of the process file system logged per look; the rest are counted.
constexpr size_t kProblemsLogged = 5;
// How long a probe waits for a status page. A look runs at start and inside
// a collection, so a found Apache that hangs must not hold either for a
// whole receive time-out per round of probes; a server that answers so
// slowly is tried again at the next look, and its row then waits as long
// as its line says.
constexpr int32_t kProbeSeconds = 2;

int32_t lastLook = 0;
bool looked = false;
int interval = DISCOVER_INTERVAL;
// Main processes already settled: watched through a row of theirs or
// through a server line naming one of their ports. Others are tried again
// at every look, since a status page may come up later.
std::set<int32_t> settled;
// The sockets of ports found without their process (pid 0) that did not
// answer as a status page, or answered as one that became a row already:
// not asked again while the same socket listens there.
std::set<uint64_t> unanswered;

// The schemes a place is asked for its status page with, in order. Each is
// tried on every place of the servers still without a row before the next
// one is.
struct ProbeScheme {
  const char *name;
  ServerScheme scheme;
};

constexpr ProbeScheme kSchemes[] = {{"http", SCHEME_HTTP}, {"https", SCHEME_HTTPS}};

struct Candidate {
  size_t server;
  const FoundEndpoint *endpoint;
};

// The entries the probes of one round are fetched for; the TLS state of a
// probe that did not become a row goes with them.
struct Probes {
  std::unique_ptr<ServerEntry[]> entries;
  size_t count;
  explicit Probes(size_t n) : entries(new (std::nothrow) ServerEntry[n]()), count(n) {}
  ~Probes() {
    for (size_t i = 0; entries && i < count; ++i) {
      tls_state_free(entries[i].tls);
      balancer_state_free(entries[i].balancers);
    }
  }
  Probes(const Probes &) = delete;
  Probes &operator=(const Probes &) = delete;
};

// A probe of place with scheme: reached there, as a server nobody named,
// with the discover line's credentials and options.
void set_probe(ServerEntry *probe, const FoundEndpoint &place, ServerScheme scheme) {
  probe->port = place.port;
  std::snprintf(probe->credentials, sizeof probe->credentials, "%s", discover_setting.credentials);
  probe->reach = discover_setting.reach;
  probe->reach.scheme = scheme;
  probe->reach.address = place.address;
  probe->reach.discovered = 1;
  const int32_t wait =
      probe->reach.timeout > 0 ? probe->reach.timeout : fetch_page_receive_timeout();
  probe->reach.timeout = std::min(wait, kProbeSeconds);
  platform_format_address(&place.address, probe->reach.host, sizeof probe->reach.host);
}

bool same_place(const FoundEndpoint &a, const FoundEndpoint &b) {
  return a.port == b.port && a.address.family == b.address.family &&
         std::memcmp(a.address.bytes, b.address.bytes, sizeof a.address.bytes) == 0;
}

// Whether the answer to one probe is a status page.
bool answers_status(int received, const char *answer, FetchEnd end, ServerEntry *scratch,
                    char **text) {
  int32_t code = 0;
  if (fetch_outcome(received, answer, end, &code) != PAGE_OK) {
    return false;
  }
  return read_status_page(scratch, answer, received, text) == PAGE_OK;
}

// What tells one server's status page from another's: its version and the
// time it was started ("" when the page says neither).
std::string status_identity(const char *answer) {
  std::string identity;
  for (const char *label : {"\nServerVersion:", "\nRestartTime:"}) {
    const char *at = answer != nullptr ? std::strstr(answer, label) : nullptr;
    if (at != nullptr) {
      identity.append(at + 1, std::strcspn(at + 1, "\r\n")).push_back('\n');
    }
  }
  return identity;
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

namespace {

// The places where a fetch reaches listener l, appended to server (each
// once: see find_servers); false when none does.
bool add_places(const PlatformListener &l, FoundServer *server) {
  FoundEndpoint place{l.port, {}, false};
  FoundEndpoint fallback{l.port, {}, true};
  if (!listener_address(l, &place.address, &fallback.address)) {
    return false;
  }
  server->endpoints.push_back(place);
  if (fallback.address.family != 0) {
    server->endpoints.push_back(fallback);
  }
  return true;
}

// The others by ascending port, then the fallbacks; each place once (the
// first of the same port and address stays).
void order_places(FoundServer *server) {
  std::stable_sort(server->endpoints.begin(), server->endpoints.end(),
                   [](const FoundEndpoint &a, const FoundEndpoint &b) {
                     return a.fallback != b.fallback ? b.fallback : a.port < b.port;
                   });
  std::vector<FoundEndpoint> places;
  for (const FoundEndpoint &e : server->endpoints) {
    if (std::none_of(places.begin(), places.end(),
                     [&](const FoundEndpoint &k) { return same_place(k, e); })) {
      places.push_back(e);
    }
  }
  server->endpoints.swap(places);
}

} // namespace

std::vector<FoundServer> find_servers(const std::vector<PlatformProcess> &processes,
                                      const std::vector<PlatformListener> &listeners,
                                      int *unreachable, TrustedUsers users) {
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
  const auto count_unreachable = [&] {
    if (unreachable != nullptr) {
      ++*unreachable;
    }
  };

  std::vector<FoundServer> found;
  std::vector<uint64_t> inodes;
  // The users of servers whose descriptors could not be listed, with the
  // name of the first such server.
  std::vector<std::pair<uint32_t, const char *>> unseen;
  for (const PlatformProcess &p : processes) {
    if (!is_apache_name(p.name) || parent_is_apache(p)) {
      continue;
    }
    // A server counts only when it runs as a trusted user; any user may
    // name a program httpd.
    const int64_t uid = platform_process_uid(p.pid);
    if (uid < 0 || !users.has(uid)) {
      continue;
    }
    inodes.clear();
    if (platform_process_socket_inodes(p.pid, &inodes) != 0) {
      if (std::none_of(
              unseen.begin(), unseen.end(),
              [&](const std::pair<uint32_t, const char *> &u) { return u.first == uid; })) {
        unseen.emplace_back(static_cast<uint32_t>(uid), p.name);
      }
      continue;
    }
    std::sort(inodes.begin(), inodes.end());
    FoundServer server{p.pid, {}, {}, {}};
    std::memcpy(server.name, p.name, sizeof server.name);
    for (const PlatformListener &l : listeners) {
      // A socket another user made is not the server's, even when it holds
      // it: it may have been handed one.
      if (l.uid != uid || !std::binary_search(inodes.begin(), inodes.end(), l.inode)) {
        continue;
      }
      if (!add_places(l, &server)) {
        count_unreachable();
      }
    }
    order_places(&server);
    if (!server.endpoints.empty()) {
      found.push_back(std::move(server));
    }
  }
  if (unseen.empty()) {
    return found;
  }

  // The sockets that some process whose descriptors can be listed holds are
  // not an unseen server's.
  std::vector<uint64_t> held;
  for (const PlatformProcess &p : processes) {
    (void)platform_process_socket_inodes(p.pid, &held);
  }
  std::sort(held.begin(), held.end());
  std::map<uint16_t, FoundServer> ports;
  for (const PlatformListener &l : listeners) {
    const auto user =
        std::find_if(unseen.begin(), unseen.end(),
                     [&](const std::pair<uint32_t, const char *> &u) { return u.first == l.uid; });
    if (user == unseen.end() || std::binary_search(held.begin(), held.end(), l.inode)) {
      continue;
    }
    FoundServer &port = ports.emplace(l.port, FoundServer{0, {}, {}, {}}).first->second;
    if (port.name[0] == '\0') {
      std::snprintf(port.name, sizeof port.name, "%s", user->second);
    }
    if (!add_places(l, &port)) {
      count_unreachable();
      continue;
    }
    port.inodes.push_back(l.inode);
  }
  for (auto &port : ports) {
    if (!port.second.endpoints.empty()) {
      order_places(&port.second);
      found.push_back(std::move(port.second));
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
  // ports= of the discover line: the sockets on other ports are not looked
  // at, so nothing listening there is asked.
  if (discover_setting.portCount > 0) {
    const uint16_t *first = discover_setting.ports;
    const uint16_t *last = first + discover_setting.portCount;
    listeners.erase(std::remove_if(listeners.begin(), listeners.end(),
                                   [&](const PlatformListener &l) {
                                     return std::find(first, last, l.port) == last;
                                   }),
                    listeners.end());
  }
  int unreachable = 0;
  const TrustedUsers users{discover_setting.reach.ownerSet != 0, discover_setting.reach.ownerUid};
  std::vector<FoundServer> servers = find_servers(processes, listeners, &unreachable, users);
  if (unreachable > 0) {
    VarnockSyslog(VARNOCK_LOG_DEBUG,
                  "ostrik: discover: %d listening sockets passed over: no fetch from this "
                  "machine reaches them",
                  unreachable);
  }

  // A server is settled once it has a row, its own or a server line's.
  std::vector<bool> pending(servers.size(), false);
  for (size_t i = 0; i < servers.size(); ++i) {
    const FoundServer &s = servers[i];
    if (s.pid != 0 ? settled.count(s.pid) != 0
                   : std::all_of(s.inodes.begin(), s.inodes.end(),
                                 [](uint64_t inode) { return unanswered.count(inode) != 0; })) {
      continue;
    }
    if (std::any_of(s.endpoints.begin(), s.endpoints.end(),
                    [](const FoundEndpoint &e) { return find_server(e.port) != nullptr; })) {
      if (s.pid != 0) {
        settled.insert(s.pid);
      }
      continue;
    }
    pending[i] = true;
  }

  int added = 0;
  char *text = nullptr;
  std::vector<std::string> identities; // of the rows of ports found without their process
  for (const ProbeScheme &scheme : kSchemes) {
    if (scheme.scheme == SCHEME_HTTPS && !tls_available()) {
      continue;
    }
    for (const bool fallback : {false, true}) {
      std::vector<Candidate> candidates;
      for (size_t i = 0; i < servers.size(); ++i) {
        for (const FoundEndpoint &e : servers[i].endpoints) {
          if (pending[i] && e.fallback == fallback) {
            candidates.push_back(Candidate{i, &e});
          }
        }
      }
      Probes probes(candidates.size());
      if (candidates.empty() || !probes.entries) {
        continue;
      }
      PageFetches fetches(candidates.size());
      for (size_t k = 0; k < candidates.size(); ++k) {
        set_probe(&probes.entries[k], *candidates[k].endpoint, scheme.scheme);
        fetches.add(&probes.entries[k], STATUS_PAGE_PATH);
      }
      fetches.run();
      for (size_t k = 0; k < candidates.size(); ++k) {
        const Candidate &c = candidates[k];
        ServerEntry &probe = probes.entries[k];
        const char *answer = nullptr;
        FetchEnd end = FETCH_NOT_SENT;
        const FoundServer &s = servers[c.server];
        // A port found without its process may be any service of its user:
        // its probes say nothing in the log.
        const int received = fetches.take(k, &answer, &end, s.pid == 0);
        if (!pending[c.server] || !answers_status(received, answer, end, &probe, &text)) {
          continue;
        }
        pending[c.server] = false;
        if (s.pid == 0) {
          // The same server on another of its ports (80 and 443): one row.
          const std::string identity = status_identity(answer);
          if (!identity.empty() &&
              std::find(identities.begin(), identities.end(), identity) != identities.end()) {
            unanswered.insert(s.inodes.begin(), s.inodes.end());
            continue;
          }
          identities.push_back(identity);
        }
        if (add_server(probe.port, discover_setting.user, discover_setting.password, 0,
                       discover_setting.credentials) != 1) {
          continue;
        }
        // The row is reached where it answered, and resumes the probe's
        // TLS session.
        ServerEntry *row = find_server(probe.port);
        row->reach = probe.reach;
        row->reach.timeout = discover_setting.reach.timeout;
        row->tls = probe.tls;
        probe.tls = nullptr;
        // Its process and socket are root's or the owner's.
        row->pathsTrusted = 1;
        if (s.pid != 0) {
          settled.insert(s.pid);
          note_listen_owner(c.endpoint->port, s.pid);
        }
        ++added;
        const bool ipv6 = c.endpoint->address.family == PLATFORM_IPV6;
        char pid[24] = "pid unknown";
        if (s.pid != 0) {
          std::snprintf(pid, sizeof pid, "pid %d", static_cast<int>(s.pid));
        }
        VarnockSyslog(VARNOCK_LOG_NOTICE, "ostrik: discover: %s (%s) watched at %s://%s%s%s:%u",
                      s.name, pid, scheme.name, ipv6 ? "[" : "", row->reach.host, ipv6 ? "]" : "",
                      static_cast<unsigned>(probe.port));
      }
    }
  }
  std::free(text);
  for (size_t i = 0; i < servers.size(); ++i) {
    if (pending[i] && servers[i].pid == 0) {
      unanswered.insert(servers[i].inodes.begin(), servers[i].inodes.end());
    }
  }
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
  unanswered.clear();
}
