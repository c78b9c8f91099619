// The certificate table's sites and handshakes. The sites are worked out
// afresh at each refresh from what the module knows of its servers; a row
// keeps its last certificate while its site stays known.
#include "collect/pages/certificates.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "collect/logs/access_log.h"
#include "config/server_list.h"
#include "platform/clock.h"
#include "varnock.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Row {
  int32_t port = 0;
  std::string name;
  int32_t serverPort = 0;
  PlatformAddress address{};
  std::string ca;
  int32_t outcome = CERT_NOT_TRIED;
  int32_t checkedAt = 0;
  bool haveCert = false;
  TlsPeerCertificate cert{};
  std::string problem;
};

std::vector<Row> rows;
// The TLS sites of each server's last info page, by the server's port.
std::map<int32_t, std::vector<TlsSite>> infoSites;
int interval = CERT_DEFAULT_INTERVAL;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return text;
}

// Whether name may be sent as SNI and be a row's name: 1 to CERT_NAME_MAX
// letters, digits, '-', '.' and '_', not led by '.' or '-', and not an
// address (SNI carries names only).
bool sni_name(const std::string &name) {
  if (name.empty() || name.size() > CERT_NAME_MAX || name[0] == '.' || name[0] == '-') {
    return false;
  }
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_';
    if (!ok) {
      return false;
    }
  }
  PlatformAddress literal;
  return platform_parse_address(name.c_str(), &literal) != 0;
}

// "https://www.example.org:8443" is "www.example.org".
std::string bare_name(std::string name) {
  const size_t scheme = name.find("://");
  if (scheme != std::string::npos) {
    name.erase(0, scheme + 3);
  }
  const size_t colon = name.rfind(':');
  if (colon != std::string::npos &&
      name.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
    name.erase(colon);
  }
  return lower(name);
}

// "127.0.0.1:443", "*:443", "[::1]:443", "443": the port (0 when there is
// none) and the address when it is a literal one ("" for "*", a name, ...).
int32_t split_address(const std::string &text, std::string *address) {
  address->clear();
  const size_t colon = text.rfind(':');
  const size_t bracket = text.rfind(']');
  std::string host;
  std::string port = text;
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  } else if (text.find_first_not_of("0123456789") != std::string::npos) {
    return 0; // an address without a port
  }
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  const long value = std::stol(port);
  if (value < 1 || value > 65535) {
    return 0;
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  PlatformAddress literal;
  if (!host.empty() && platform_parse_address(host.c_str(), &literal) == 0) {
    *address = host;
  }
  return static_cast<int32_t>(value);
}

struct Section {
  std::vector<std::string> addresses; // the opener's arguments
  bool ssl = false;
  std::vector<std::string> names;
};

void add_name(std::vector<std::string> *names, const std::string &raw) {
  const std::string name = bare_name(raw);
  if (names->size() < CERT_NAMES_PER_PORT && sni_name(name) &&
      std::find(names->begin(), names->end(), name) == names->end()) {
    names->push_back(name);
  }
}

} // namespace

std::vector<TlsSite> tls_sites_from_info(const char *text) {
  std::vector<TlsSite> sites;
  if (text == nullptr) {
    return sites;
  }
  // Each module's listing shows its directives under "In file:" headers,
  // inside the sections that hold them: "4:VirtualHost 127.0.0.1:443" ...
  // ":/VirtualHost" once html_to_text has dropped the brackets. The opener's
  // file and line tie mod_ssl's SSLEngine to core's ServerName.
  std::map<std::string, Section> sections;
  std::vector<std::string> order;
  std::vector<std::pair<std::string, bool>> listens; // address:port, https
  bool mainSsl = false;
  std::string file;
  std::string open; // the virtual host the listing is in; empty: the main server
  const char *p = text;
  while (*p != '\0') {
    const char *end = std::strchr(p, '\n');
    std::string line(p, end != nullptr ? end : p + std::strlen(p));
    p = end != nullptr ? end + 1 : p + line.size();
    size_t at = 0;
    while (at < line.size() && blank(line[at])) {
      ++at;
    }
    if (line.compare(at, 12, "Module Name:") == 0) {
      file.clear();
      open.clear();
      continue;
    }
    if (line.compare(at, 8, "In file:") == 0) {
      at += 8;
      while (at < line.size() && blank(line[at])) {
        ++at;
      }
      file = line.substr(at);
      open.clear();
      continue;
    }
    const size_t digits = line.find_first_not_of("0123456789", at);
    if (file.empty() || digits == std::string::npos || line[digits] != ':') {
      continue;
    }
    const std::string number = line.substr(at, digits - at);
    std::vector<std::string> words;
    for (size_t i = digits + 1; i < line.size();) {
      while (i < line.size() && blank(line[i])) {
        ++i;
      }
      const size_t start = i;
      while (i < line.size() && !blank(line[i])) {
        ++i;
      }
      if (i > start) {
        std::string word = line.substr(start, i - start);
        if (word.size() > 1 && (word.front() == '"' || word.front() == '\'') &&
            word.back() == word.front()) {
          word = word.substr(1, word.size() - 2);
        }
        words.push_back(word);
      }
    }
    if (words.empty()) {
      continue;
    }
    const std::string directive = lower(words[0]);
    if (directive == "virtualhost" || directive == "<virtualhost") {
      open = file + ":" + number;
      if (sections.find(open) == sections.end()) {
        order.push_back(open);
        Section &section = sections[open];
        for (size_t i = 1; i < words.size(); ++i) {
          std::string a = words[i];
          a.erase(std::remove(a.begin(), a.end(), '>'), a.end());
          section.addresses.push_back(a);
        }
      }
    } else if (directive == "/virtualhost" || directive == "</virtualhost>") {
      open.clear();
    } else if (directive == "sslengine" && words.size() > 1) {
      const bool on = lower(words[1]) == "on";
      if (open.empty()) {
        mainSsl = on;
      } else {
        sections[open].ssl = on;
      }
    } else if ((directive == "servername" || directive == "serveralias") && !open.empty()) {
      for (size_t i = 1; i < words.size(); ++i) {
        add_name(&sections[open].names, words[i]);
      }
    } else if (directive == "listen" && words.size() > 1 && open.empty()) {
      listens.emplace_back(words[1], words.size() > 2 && lower(words[2]) == "https");
    }
  }

  auto site_for = [&](int32_t port, const std::string &address) -> TlsSite & {
    for (TlsSite &s : sites) {
      if (s.port == port) {
        return s;
      }
    }
    sites.push_back(TlsSite{port, address, {}});
    return sites.back();
  };
  for (const auto &listen : listens) {
    std::string address;
    const int32_t port = split_address(listen.first, &address);
    if (port != 0 && (listen.second || mainSsl)) {
      site_for(port, address);
    }
  }
  for (const std::string &scope : order) {
    const Section &section = sections[scope];
    if (!section.ssl) {
      continue;
    }
    for (const std::string &a : section.addresses) {
      std::string address;
      const int32_t port = split_address(a, &address);
      if (port == 0) {
        continue;
      }
      TlsSite &site = site_for(port, address);
      for (const std::string &name : section.names) {
        if (site.names.size() < CERT_NAMES_PER_PORT &&
            std::find(site.names.begin(), site.names.end(), name) == site.names.end()) {
          site.names.push_back(name);
        }
      }
    }
  }
  return sites;
}

void note_info_tls_sites(const ServerEntry *entry, const char *text) {
  if (entry == nullptr) {
    return;
  }
  try {
    infoSites[entry->port] = tls_sites_from_info(text);
  } catch (...) {
    // No memory: the sites of the last page stay.
  }
}

namespace {

// The order of the rows' index: port, name length, name bytes.
bool before(int32_t port, const std::string &name, const Row &row) {
  if (port != row.port) {
    return static_cast<uint32_t>(port) < static_cast<uint32_t>(row.port);
  }
  if (name.size() != row.name.size()) {
    return name.size() < row.name.size();
  }
  return std::memcmp(name.data(), row.name.data(), name.size()) < 0;
}

struct Target {
  int32_t port;
  std::string name;
  int32_t serverPort;
  PlatformAddress address;
  std::string ca;
};

PlatformAddress server_address(const ServerEntry *entry) {
  PlatformAddress address = entry->reach.address;
  if (address.family == 0) {
    platform_parse_address("127.0.0.1", &address);
  }
  return address;
}

// Every site of every server, each (port, name) once: the first server
// that names a port keeps it.
std::vector<Target> targets() {
  std::vector<Target> found;
  std::set<std::pair<int32_t, std::string>> seen;
  std::map<int32_t, int32_t> portOwner;
  auto add = [&](const ServerEntry *entry, int32_t port, const std::string &address,
                 const std::vector<std::string> &names) {
    const auto owner = portOwner.emplace(port, entry->port).first;
    if (owner->second != entry->port) {
      return;
    }
    Target t{port, "", entry->port, server_address(entry), entry->reach.ca};
    PlatformAddress literal;
    if (!address.empty() && platform_parse_address(address.c_str(), &literal) == 0 &&
        platform_address_is_local(&literal)) {
      t.address = literal;
    }
    std::vector<std::string> all = names.empty() ? std::vector<std::string>{""} : names;
    for (const std::string &name : all) {
      if (found.size() < CERT_ROW_LIMIT && seen.emplace(port, name).second) {
        t.name = name;
        found.push_back(t);
      }
    }
  };
  for (const ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    // The names the server's logs give, for the TLS ports whose virtual
    // hosts the info page does not name.
    std::vector<std::string> logNames;
    LogVhostView view;
    for (size_t i = 0; log_vhost_at(entry, i, &view) && logNames.size() < CERT_NAMES_PER_PORT;
         ++i) {
      add_name(&logNames, std::string(view.name, view.nameLength));
    }
    std::vector<TlsSite> sites;
    const auto info = infoSites.find(entry->port);
    if (info != infoSites.end()) {
      sites = info->second;
    }
    if (entry->reach.scheme == SCHEME_HTTPS) {
      auto own = std::find_if(sites.begin(), sites.end(),
                              [&](const TlsSite &s) { return s.port == entry->port; });
      if (own == sites.end()) {
        sites.push_back(TlsSite{entry->port, "", {}});
        own = sites.end() - 1;
      }
      // The name the line reaches it by; a server found by discovery was
      // named by nobody.
      const std::string host = entry->reach.host;
      if (entry->reach.discovered == 0 && sni_name(host) &&
          std::find(own->names.begin(), own->names.end(), lower(host)) == own->names.end()) {
        own->names.insert(own->names.begin(), lower(host));
      }
    }
    for (TlsSite &site : sites) {
      add(entry, site.port, site.address, site.names.empty() ? logNames : site.names);
    }
  }
  return found;
}

// The rows for the current targets, keeping what each known row had.
void merge(std::vector<Target> wanted) {
  std::vector<Row> next;
  next.reserve(wanted.size());
  for (Target &t : wanted) {
    Row row;
    const auto old = std::find_if(rows.begin(), rows.end(), [&](const Row &r) {
      return r.port == t.port && r.name == t.name;
    });
    if (old != rows.end()) {
      row = std::move(*old);
    }
    row.port = t.port;
    row.name = std::move(t.name);
    row.serverPort = t.serverPort;
    row.address = t.address;
    row.ca = std::move(t.ca);
    next.push_back(std::move(row));
  }
  std::sort(next.begin(), next.end(),
            [](const Row &a, const Row &b) { return before(a.port, a.name, b); });
  rows = std::move(next);
}

int remaining_ms(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until sock is readable (or, writing, writable) or the deadline.
PlatformWait wait_for(PlatformSocket sock, bool writing, Clock::time_point deadline) {
  const int left = remaining_ms(deadline);
  if (left == 0) {
    return PLATFORM_WAIT_TIMEOUT;
  }
  const unsigned char connecting = writing ? 1 : 0;
  unsigned char ready = 0;
  return platform_wait_any(&sock, &connecting, 1, left, &ready);
}

// One handshake with row's site: connects, sends the name, reads the
// certificate, and closes.
void handshake(Row *row, Clock::time_point deadline) {
  char why[256] = "";
  row->problem.clear();
  const PlatformSocket sock = platform_tcp_socket_for(&row->address);
  if (sock == PLATFORM_INVALID_SOCKET) {
    row->outcome = CERT_CONNECT_FAILED;
    row->problem = "no socket";
    return;
  }
  int begun =
      platform_connect_begin(sock, &row->address, platform_htons(static_cast<uint16_t>(row->port)));
  if (begun == 1) {
    const PlatformWait w = wait_for(sock, true, deadline);
    begun = w == PLATFORM_WAIT_READY ? platform_connect_end(sock) : -2;
    if (w == PLATFORM_WAIT_TIMEOUT) {
      row->outcome = CERT_TIMED_OUT;
      row->problem = "no connection within the time-out";
      platform_close_socket(sock);
      return;
    }
  }
  if (begun < 0 || platform_set_blocking(sock, 0) != 0) {
    row->outcome = CERT_CONNECT_FAILED;
    row->problem = "connection refused or failed";
    platform_close_socket(sock);
    return;
  }
  TlsProbe *probe = tls_probe_open(sock, row->name.c_str(), row->ca.c_str(), why, sizeof why);
  TlsStep step = probe != nullptr ? TLS_WANT_WRITE : TLS_FAILED;
  while (probe != nullptr) {
    step = tls_probe_step(probe, why, sizeof why);
    if (step != TLS_WANT_READ && step != TLS_WANT_WRITE) {
      break;
    }
    const PlatformWait w = wait_for(sock, step == TLS_WANT_WRITE, deadline);
    if (w != PLATFORM_WAIT_READY) {
      step = w == PLATFORM_WAIT_TIMEOUT ? TLS_WANT_READ : TLS_FAILED;
      std::snprintf(why, sizeof why, "%s",
                    w == PLATFORM_WAIT_TIMEOUT ? "no whole handshake within the time-out"
                                               : "waiting on the socket failed");
      break;
    }
  }
  TlsPeerCertificate cert;
  if (step == TLS_DONE && tls_probe_certificate(probe, &cert)) {
    row->outcome = CERT_OK;
    row->haveCert = true;
    row->cert = cert;
  } else {
    row->outcome = step == TLS_WANT_READ ? CERT_TIMED_OUT : CERT_TLS_FAILED;
    row->problem = step == TLS_DONE ? "the server sent no certificate" : why;
  }
  tls_probe_close(probe);
  platform_close_socket(sock);
}

bool due(const Row &row, int32_t now) {
  if (row.checkedAt == 0) {
    return true;
  }
  const int32_t wait = row.outcome == CERT_OK ? interval : std::min(interval, CERT_RETRY_INTERVAL);
  const int32_t age = platform_seconds_between(row.checkedAt, now);
  return age >= wait || age < 0;
}

} // namespace

void plan_certificate_rows(void) {
  try {
    merge(targets());
  } catch (...) {
    // No memory: the rows stay as they were.
  }
}

bool certificate_set_for_tests(size_t index, int32_t outcome, const TlsPeerCertificate *cert,
                               int32_t checkedAt) {
  if (index >= rows.size()) {
    return false;
  }
  rows[index].outcome = outcome;
  rows[index].haveCert = cert != nullptr;
  rows[index].cert = cert != nullptr ? *cert : TlsPeerCertificate{};
  rows[index].checkedAt = checkedAt;
  return true;
}

namespace {

// Makes the handshakes that are due, within the tick's bounds; how many.
int make_due_handshakes() {
  const Clock::time_point tickEnd =
      Clock::now() + std::chrono::milliseconds(CERT_HANDSHAKE_TIMEOUT_MS);
  int made = 0;
  // Sites never tried first, then the others in row order.
  for (int pass = 0; pass < 2; ++pass) {
    for (Row &row : rows) {
      if (made >= CERT_HANDSHAKES_PER_TICK || (made > 0 && remaining_ms(tickEnd) == 0)) {
        return made;
      }
      if ((pass == 0) != (row.checkedAt == 0) || !due(row, platform_time())) {
        continue;
      }
      handshake(&row, Clock::now() + std::chrono::milliseconds(CERT_HANDSHAKE_TIMEOUT_MS));
      row.checkedAt = platform_time();
      if (row.checkedAt == 0) {
        row.checkedAt = 1;
      }
      ++made;
    }
  }
  return made;
}

} // namespace

void refresh_certificates(void) {
  plan_certificate_rows();
  const Clock::time_point start = Clock::now();
  const int made = make_due_handshakes();
  if (made > 0) {
    // What they cost, for --debug (docs/performance.md).
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    VarnockSyslog(VARNOCK_LOG_DEBUG, "ostrik: %d certificate handshakes in %lld us", made,
                  static_cast<long long>(us));
  }
}

size_t certificate_count(void) { return rows.size(); }

bool certificate_at(size_t index, CertificateView *out) {
  if (index >= rows.size()) {
    return false;
  }
  const Row &row = rows[index];
  out->port = row.port;
  out->serverPort = row.serverPort;
  out->name = row.name.data();
  out->nameLength = row.name.size();
  out->outcome = row.outcome;
  out->checkedAt = row.checkedAt;
  out->cert = row.haveCert ? &row.cert : nullptr;
  out->nameMatch = row.name.empty()            ? CERT_NAME_NOT_ASKED
                   : row.cert.nameMatches == 1 ? CERT_NAME_MATCHES
                                               : CERT_NAME_NOT_COVERED;
  out->problem = row.problem.c_str();
  return true;
}

void certificates_set_interval(int seconds) {
  interval = seconds > 0 ? seconds : CERT_DEFAULT_INTERVAL;
}

void certificates_release(void) {
  rows.clear();
  rows.shrink_to_fit();
  infoSites.clear();
  tls_probe_release();
}
