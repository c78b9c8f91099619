// Fuzzes the handlers of the module's variables, the tables' row protocol
// above all, with arbitrary requests: OIDs of 0 to 128 arcs, honest or
// arbitrary lengths, any exact flag, and (now and then) a column number that
// the table does not have. Each request goes to the real descriptor of
// ostrik_variables or ostrik_ext_variables and its handler. The Apache 2.4
// and health tables pass over rows without a value on a get-next: their
// answer may name a later row of the protocol's chain. The per-host
// access-log table has a row for each host name length from 1 to the
// longest a row may have (its index then fills most of an agent's longest
// OID), read from a log of the server at port 8080; longer names and names
// unlike host names in that log must give no row. The balancer member
// table has members of port 443 whose balancer names and URLs run from one
// byte to the longest a row may have, read from a status page with lines
// that must give no row. The certificate table
// has, at port 444 of the server at port 443, a row for each name length
// from 1 to 100 (named by that server's info page), half of them with a
// certificate of extreme values, and the nameless row of port 443 itself.
//
// The refreshes never reach the network: the clock stands still, and each
// refresh ran once on an empty list before the servers were added, so every
// gate stays shut.
//
// One input is a sequence of requests, each:
//   byte   descriptor number (modulo the count registered: the 62, then the
//          added ones)
//   byte   flags: 1 get (else get-next), 2 exact from 4 more bytes,
//          4 length from 4 more bytes (else the arc count), 8 magic from 1 more byte
//   byte   arc count (modulo 129)
//   arcs   one byte each: < 128 the descriptor's own arc there (a port from a
//          small list in the index position; beyond the descriptor the byte
//          itself, to spell a host's name), < 192 a small number, else 4 bytes
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "collect/logs/access_log.h"
#include "collect/pages/balancer.h"
#include "collect/pages/certificates.h"
#include "collect/pages/page_refresh.h"
#include "collect/processes/footprint.h"
#include "config/server_list.h"
#include "fuzz/fuzz_support.h"
#include "module/ostrik.h"
#include "platform/clock.h"
#include "tests/support/fake_varnock.h"

namespace {

constexpr int kMaxArcs = 128;
constexpr int kMaxRequests = 64;
constexpr uint32_t kSentinel = 0xA5A5A5A5u;

constexpr uint32_t kIndexArcs[] = {0,     79,         80,          81,         443,
                                   900,   8080,       70000,       0x7FFFFFFF, 0x80000000,
                                   65535, 0xFFFFFFFF, 0xFFFFFFFEu, 1,          444};

int32_t fixed_clock() { return 1000000000; }

template <size_t N> void fill(char (&field)[N], char c) {
  std::memset(field, c, N - 1);
  field[N - 1] = '\0';
}

void make_servers() {
  add_server(80, "admin", "secret", 0, "YWRtaW46c2VjcmV0");
  add_server(443, "u", "", 0, "dTo=");
  add_server(8080, "x", "y", 3600, "eDp5");
  add_server(70000, "a", "b", -1, "YTpi");
  add_server(0x7FFFFFFF, "a", "b", 0, "YTpi");

  ServerEntry *first = find_server(80);
  snprintf(first->version, sizeof first->version, "%s", "Apache/1.3.41 (Unix)");
  snprintf(first->runMode, sizeof first->runMode, "%s", "standalone");
  snprintf(first->userName, sizeof first->userName, "%s", " ");
  first->percentCpu = -1.7;
  first->percentMem = 1e300;
  // A port rewritten in place, out of the list's order.
  first->port = 900;

  ServerEntry *second = find_server(443);
  snprintf(second->version, sizeof second->version, "%s", "Apache/2.4.57 (Debian)");
  snprintf(second->runMode, sizeof second->runMode, "%s", "standalone");
  second->percentCpu = __builtin_nan("");
  second->idleWorkers = 0x7FFFFFFF;
  second->startingCount = 0x7FFFFFFF;
  second->rss = 0xFFFFFFFFu;

  ServerEntry *third = find_server(8080);
  for (char(*field)[SERVER_TEXT_FIELD] :
       {&third->version, &third->runMode, &third->userName, &third->groupName, &third->hostname,
        &third->serverRoot, &third->configFile, &third->pidFile, &third->scoreboardFile,
        &third->documentRoot, &third->accessLog, &third->errorLog, &third->scriptLog}) {
    fill(*field, 'z');
  }
  third->percentCpu = -1e300;

  // Apache 2.4 items: all of them on one row, a few on another, none on
  // the rest; one page read now and then, the other never.
  second->extras.present = (1u << (EXTRA_COUNT + 1)) - 1;
  snprintf(second->extras.mpm, sizeof second->extras.mpm, "%s", "event");
  for (uint64_t &value : second->extras.value) {
    value = UINT64_MAX;
  }
  second->statusHealth = {fixed_clock() - 5, PAGE_OK, 200, 0};
  third->extras.present = (1u << EXTRA_LOAD1) | (1u << EXTRA_SCOREBOARD_SIZE);
  third->extras.value[EXTRA_LOAD1] = 144;
  third->infoHealth = {fixed_clock() + 50, PAGE_TIMED_OUT, 0, UINT32_MAX};
}

// The name of the per-host row of length n: letters, digits, '-', '.'
// and '_', not led by '.' or '-'.
std::string host_name(size_t n) {
  static const char kBody[] = "abcdefghijklmnopqrstuvwxyz0123456789-._ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string name;
  for (size_t i = 0; i < n; ++i) {
    name += kBody[(i * 7 + n) % (sizeof kBody - 1)];
  }
  name[0] = 'h';
  return name;
}

// Every server's log is configured (so no process is looked at); the one
// of port 8080 names a host of every length, and lines that give no row:
// names too long for an index, or unlike host names.
void make_host_rows() {
  static char dir[] = "/tmp/ostrik-row-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    fuzz::check(false, "no temporary directory");
  }
  const std::string log = std::string(dir) + "/hosts_log";
  for (ServerEntry *e = server_list; e != nullptr; e = e->next) {
    const std::string path = e->port == 8080 ? log : std::string(dir) + "/none";
    snprintf(e->reach.logPath, sizeof e->reach.logPath, "%s", path.c_str());
    snprintf(e->reach.logFormat, sizeof e->reach.logFormat, "%s", "%v");
    e->workerUid = static_cast<uint32_t>(getuid()); // whoever runs the fuzzer owns the log
  }
  std::ofstream(log).flush();
  refresh_access_logs(); // from the end of the log as it is now
  std::ofstream out(log);
  for (size_t n = 1; n <= VARNOCK_LONG_INDEX_MAX_OID; ++n) {
    out << host_name(n) << '\n';
  }
  out << "[::1]\nuser::19000:0:99999:7:::\na/b\n$x\n-x\n.x\na b\n";
  out.close();
  refresh_access_logs();
  unlink(log.c_str());
  rmdir(dir);
  const ServerEntry *hosts = find_server(8080);
  fuzz::check(log_vhost_count(hosts) == LOG_VHOST_NAME_MAX + 1, "host rows missing");
}

// Members of the server at port 443: balancer names and URLs of every
// length from 1 to the longest that gets a row, a few values missing, and
// lines that give no row (names too long, with a blank, of no balancer).
void make_member_rows() {
  std::string page;
  size_t b = 0;
  for (size_t balancer :
       {size_t{1}, size_t{2}, size_t{17}, BALANCER_NAME_MAX - 1, BALANCER_NAME_MAX}) {
    const std::string n = std::to_string(b++);
    page += "ProxyBalancer[" + n + "]Name: " + std::string(balancer, 'b') + "\n";
    for (size_t member : {size_t{1}, size_t{3}, size_t{33}, BALANCER_MEMBER_NAME_MAX - 1,
                          BALANCER_MEMBER_NAME_MAX, BALANCER_MEMBER_NAME_MAX + 1}) {
      const std::string w = "ProxyBalancer[" + n + "]Worker[" + std::to_string(member) + "]";
      page += w + "Name: " + std::string(member, 'm') + "\n";
      if (member % 2 == 1) {
        page +=
            w + "Status: Init Err\n" + w + "Elected: 18446744073709551615\n" + w + "Sent: 16E\n";
      }
      page += w + "Busy: 4294967296\n" + w + "Rcvd: 1.2K\n";
    }
  }
  page += "ProxyBalancer[9]Name: " + std::string(BALANCER_NAME_MAX + 1, 'b') +
          "\nProxyBalancer[9]Worker[0]Name: m\nProxyBalancer[8]Name: balancer://x\n"
          "ProxyBalancer[8]Worker[0]Name: a b\nProxyBalancer[8]Worker[1]Status: Init Ok\n"
          "ProxyBalancer[99]Worker[0]Name: orphan\n";
  parse_balancer_members(find_server(443), page.c_str());
  fuzz::check(balancer_member_count(find_server(443)) == 5 * 5, "member rows missing");
}

// True when the long index at index (port, length, balancer, length,
// member) names a member's row whose names are the answer text when it is
// one of them.
bool names_member_row(const uint32_t *index, int32_t arcs, const unsigned char *answer) {
  BalancerMemberView m;
  for (const ServerEntry *e = server_list; e != nullptr; e = e->next) {
    if (static_cast<uint32_t>(e->port) != index[0]) {
      continue;
    }
    for (size_t i = 0; balancer_member_at(e, i, &m); ++i) {
      if (static_cast<int32_t>(m.balancerLength + m.nameLength) + 3 != arcs ||
          index[1] != m.balancerLength || index[2 + m.balancerLength] != m.nameLength) {
        continue;
      }
      bool same = true;
      for (size_t k = 0; k < m.balancerLength && same; ++k) {
        same = index[2 + k] == static_cast<unsigned char>(m.balancer[k]);
      }
      for (size_t k = 0; k < m.nameLength && same; ++k) {
        same = index[3 + m.balancerLength + k] == static_cast<unsigned char>(m.name[k]);
      }
      if (same) {
        const std::string text(value_text);
        return answer != reinterpret_cast<unsigned char *>(value_text) ||
               text == std::string(m.balancer, m.balancerLength) ||
               text == std::string(m.name, m.nameLength) || text == m.flags;
      }
    }
  }
  return false;
}

// True when the long index at oid (port, length, name) names a row whose
// name is the answer text when there is one.
bool names_host_row(const uint32_t *index, int32_t arcs, const MibVariable &var,
                    const unsigned char *answer) {
  // Of the text columns, the name column (2) answers the row's name.
  const bool nameColumn = var.oid[var.oidLength - 1] == 2;
  LogVhostView view;
  for (const ServerEntry *e = server_list; e != nullptr; e = e->next) {
    if (static_cast<uint32_t>(e->port) != index[0]) {
      continue;
    }
    for (size_t i = 0; log_vhost_at(e, i, &view); ++i) {
      if (static_cast<int32_t>(view.nameLength) + 2 != arcs) {
        continue;
      }
      bool same = true;
      for (size_t k = 0; k < view.nameLength && same; ++k) {
        same = index[2 + k] == static_cast<unsigned char>(view.name[k]);
      }
      if (same) {
        return !nameColumn || answer != reinterpret_cast<unsigned char *>(value_text) ||
               std::string(value_text) == std::string(view.name, view.nameLength);
      }
    }
  }
  return false;
}

// The certificate rows: an HTTPS server at port 443 whose info page names
// port 444 with a name of every length, and names that give no row.
void make_cert_rows() {
  ServerEntry *https = find_server(443);
  https->reach.scheme = SCHEME_HTTPS;
  https->reach.discovered = 1;
  std::string page = "Module Name: core.c\nIn file: /f\n1:VirtualHost *:444\n";
  for (size_t n = 1; n <= CERT_NAME_MAX; ++n) {
    page += "2:ServerAlias " + host_name(n) + "\n";
  }
  page += "2:ServerAlias " + host_name(CERT_NAME_MAX + 1) + " 10.0.0.1 a/b -x *.x\n:/VirtualHost\n";
  page +=
      "Module Name: mod_ssl.c\nIn file: /f\n1:VirtualHost *:444\n3:SSLEngine on\n:/VirtualHost\n";
  note_info_tls_sites(https, page.c_str());
  plan_certificate_rows();
  fuzz::check(certificate_count() == CERT_NAME_MAX + 1, "certificate rows missing");
  TlsPeerCertificate cert{};
  fill(cert.subject, 'S');
  fill(cert.issuer, 'I');
  fill(cert.problem, 'P');
  const int64_t times[] = {INT64_MIN, INT64_MAX, -1, 0, 253402300799, fixed_clock()};
  for (size_t i = 0; i < certificate_count(); i += 2) {
    cert.notBefore = times[i % 6];
    cert.notAfter = times[(i / 2) % 6];
    cert.chainVerified = static_cast<int32_t>(i % 3);
    cert.nameMatches = static_cast<int32_t>(i % 3) - 1;
    certificate_set_for_tests(i, static_cast<int32_t>(i % 5), &cert, fixed_clock() - 7);
  }
}

// True when the long index at oid (port, length, name) names a certificate
// row, and a name column's answer is its name.
bool names_cert_row(const uint32_t *index, int32_t arcs, const MibVariable &var,
                    const unsigned char *answer, int32_t valueLength) {
  CertificateView view;
  for (size_t i = 0; certificate_at(i, &view); ++i) {
    if (static_cast<uint32_t>(view.port) != index[0] ||
        static_cast<int32_t>(view.nameLength) + 2 != arcs) {
      continue;
    }
    bool same = true;
    for (size_t k = 0; k < view.nameLength && same; ++k) {
      same = index[2 + k] == static_cast<unsigned char>(view.name[k]);
    }
    if (same) {
      return var.magic != 2 || (answer == reinterpret_cast<unsigned char *>(value_text) &&
                                std::string(value_text, static_cast<size_t>(valueLength)) ==
                                    std::string(view.name, view.nameLength));
    }
  }
  return false;
}

bool skips_rows(const MibVariable &var) {
  return var.handler == var_apacheperfext || var.handler == var_apachehealth ||
         var.handler == var_apachelog;
}

// The per-host log table's index is longer than one arc.
bool long_index(const MibVariable &var) { return (var.access & VARNOCK_ACCESS_LONG_INDEX) != 0; }

// True when port names from, or a row that get-nexts from it reach.
bool in_chain(const ServerEntry *from, uint32_t port) {
  for (int steps = 0; from != nullptr && steps < 100; ++steps) {
    if (static_cast<uint32_t>(from->port) == port) {
      return true;
    }
    from = find_next_server(from->port);
  }
  return false;
}

bool listed_port(uint32_t arc) {
  for (const ServerEntry *e = server_list; e != nullptr; e = e->next) {
    if (static_cast<uint32_t>(e->port) == arc) {
      return true;
    }
  }
  return false;
}

// The row the protocol must pick, or null.
const ServerEntry *expected_row(const MibVariable &var, const uint32_t *oid, int32_t length,
                                int32_t exact) {
  int32_t index = 0;
  const int n = var.oidLength;
  if (length == n && (exact != 0 || oid[n - 2] == var.oid[n - 2])) {
    index = static_cast<int32_t>(oid[n - 1]);
  }
  for (const ServerEntry *e = server_list; e != nullptr; e = e->next) {
    if (exact != 0 ? e->port == index : e->port > index) {
      return e;
    }
  }
  return nullptr;
}

struct Request {
  MibVariable var;
  std::unique_ptr<uint32_t[]> oid;
  int capacity;
  int32_t length;
  int32_t exact;
};

Request read_request(fuzz::Bytes &in) {
  Request r{};
  const int pick = in.byte() % OSTRIK_REGISTERED_COUNT;
  r.var = pick < OSTRIK_VARIABLE_COUNT ? ostrik_variables[pick]
                                       : ostrik_ext_variables[pick - OSTRIK_VARIABLE_COUNT];
  const uint8_t flags = in.byte();
  r.exact = (flags & 1) != 0 ? 1 : 0;
  if ((flags & 2) != 0) {
    r.exact = static_cast<int32_t>(in.u32());
  }
  const int arcs = in.byte() % (kMaxArcs + 1);
  // The agent's OID buffer always holds at least the longest OID (of an
  // instance of a long index, for its handler).
  const int longest =
      long_index(r.var) ? int{VARNOCK_LONG_INDEX_MAX_OID} : int{VARNOCK_MAX_OID_LEN};
  r.capacity = arcs > longest ? arcs : longest;
  r.oid.reset(new uint32_t[static_cast<size_t>(r.capacity)]);
  for (int i = 0; i < r.capacity; ++i) {
    r.oid[i] = kSentinel;
  }
  for (int i = 0; i < arcs; ++i) {
    const uint8_t b = in.byte();
    if (b < 128 && i < r.var.oidLength) {
      r.oid[i] = i == r.var.oidLength - 1 ? kIndexArcs[b % (sizeof kIndexArcs / sizeof(uint32_t))]
                                          : r.var.oid[i];
    } else if (b < 128) {
      r.oid[i] = b;
    } else if (b < 192) {
      r.oid[i] = b - 128u;
    } else {
      r.oid[i] = in.u32();
    }
  }
  r.length = arcs;
  if ((flags & 4) != 0) {
    r.length = static_cast<int32_t>(in.u32());
  }
  if ((flags & 8) != 0) {
    r.var.magic = in.byte();
  }
  return r;
}

void check_answer(Request &r) {
  const MibVariable &var = r.var;
  const bool table = var.handler != var_ostrik && !long_index(var);
  std::unique_ptr<uint32_t[]> before(new uint32_t[static_cast<size_t>(r.capacity)]);
  std::memcpy(before.get(), r.oid.get(), sizeof(uint32_t) * static_cast<size_t>(r.capacity));
  const ServerEntry *row = table ? expected_row(var, r.oid.get(), r.length, r.exact) : nullptr;
  const int32_t length_before = r.length;

  int32_t valueLength = -12345;
  void *writeMethod = &valueLength;
  MibVariable descriptor = var;
  unsigned char *answer =
      var.handler(&descriptor, r.oid.get(), &r.length, r.exact, &valueLength, &writeMethod);

  fuzz::check(std::memcmp(&descriptor, &var, sizeof var) == 0,
              "the handler changed its descriptor");
  const bool written = r.length != length_before ||
                       std::memcmp(before.get(), r.oid.get(),
                                   sizeof(uint32_t) * static_cast<size_t>(r.capacity)) != 0 ||
                       valueLength != -12345;
  if (!written) {
    fuzz::check(answer == nullptr, "an answer without its OID");
    fuzz::check(writeMethod == &valueLength, "writeMethod written without an answer");
    fuzz::check(!table || row == nullptr, "no answer for a row that exists");
    return;
  }
  if (var.handler == var_apachebalancer) {
    // An instance: the column's arcs, then the port and two names.
    fuzz::check(r.length > var.oidLength + 1 && r.length <= VARNOCK_LONG_INDEX_MAX_OID,
                "a member's index of the wrong length");
    fuzz::check(std::memcmp(r.oid.get(), var.oid, sizeof(uint32_t) * (var.oidLength - 1u)) == 0,
                "answer OID does not start with the descriptor's");
    fuzz::check(
        names_member_row(r.oid.get() + var.oidLength - 1, r.length - var.oidLength + 1, answer),
        "a long index that names no member's row, or a name that is not its row's");
    return;
  }
  if (long_index(var)) {
    // An instance: the column's arcs, then the port, a length and as many
    // bytes.
    fuzz::check(r.length > var.oidLength && r.length <= VARNOCK_LONG_INDEX_MAX_OID &&
                    r.oid[var.oidLength] == static_cast<uint32_t>(r.length - var.oidLength - 1),
                "a long index of the wrong length");
    fuzz::check(std::memcmp(r.oid.get(), var.oid, sizeof(uint32_t) * (var.oidLength - 1u)) == 0,
                "answer OID does not start with the descriptor's");
    if (var.handler == var_apachecert) {
      fuzz::check(names_cert_row(r.oid.get() + var.oidLength - 1, r.length - var.oidLength + 1, var,
                                 answer, valueLength),
                  "a long index that names no certificate's row, or a name not its row's");
      fuzz::check(valueLength >= 0 && static_cast<size_t>(valueLength) < sizeof value_text,
                  "a certificate answer's length outside the answer storage");
      return;
    }
    fuzz::check(
        names_host_row(r.oid.get() + var.oidLength - 1, r.length - var.oidLength + 1, var, answer),
        "a long index that names no host's row, or a name that is not its row's");
    return;
  }
  // An answer's OID: the descriptor's, at most 44 arcs, nothing past it.
  fuzz::check(r.length == var.oidLength && r.length <= VARNOCK_MAX_OID_LEN,
              "answer OID length is not the descriptor's");
  fuzz::check(std::memcmp(r.oid.get(), var.oid, sizeof(uint32_t) * (var.oidLength - 1u)) == 0,
              "answer OID does not start with the descriptor's");
  for (int i = var.oidLength; i < r.capacity; ++i) {
    fuzz::check(r.oid[i] == before[i], "arc written past the answer's OID");
  }
  fuzz::check(writeMethod == nullptr, "writeMethod not cleared");
  if (table) {
    fuzz::check(row != nullptr, "an answer where no row exists");
    const uint32_t index = r.oid[var.oidLength - 1];
    if (r.exact == 0 && skips_rows(var)) {
      fuzz::check(in_chain(row, index), "answer names a row off the protocol's chain");
    } else {
      fuzz::check(index == static_cast<uint32_t>(row->port),
                  "answer names a row other than the protocol's");
    }
    fuzz::check(listed_port(r.oid[var.oidLength - 1]), "answer index is no listed port");
  } else {
    fuzz::check(r.oid[var.oidLength - 1] == var.oid[var.oidLength - 1], "scalar instance changed");
  }
  if (answer == nullptr) {
    fuzz::check(valueLength == 4, "valueLength of a null answer is not 4");
  } else if (answer == reinterpret_cast<unsigned char *>(&value_int)) {
    fuzz::check(valueLength == 4, "integer answer without valueLength 4");
  } else if (answer == reinterpret_cast<unsigned char *>(&value_counter64)) {
    fuzz::check(valueLength == 8 && var.type == VARNOCK_TYPE_COUNTER64,
                "a Counter64 answer without valueLength 8 or its type");
  } else {
    fuzz::check(answer == reinterpret_cast<unsigned char *>(value_text),
                "answer outside the answer storage");
    fuzz::check(fuzz::terminated(value_text, sizeof value_text), "text answer not terminated");
    // The log table's DateAndTime column is 11 octets, NULs among them;
    // every other string is text.
    const bool dateAndTime = var.handler == var_apachelog && var.magic == OSTRIK_LOG_SINCE_COLUMN;
    fuzz::check(valueLength >= 0 &&
                    (dateAndTime ? valueLength == 11
                                 : static_cast<size_t>(valueLength) == std::strlen(value_text)),
                "text answer's length is not its valueLength");
    fuzz::check(valueLength > 0, "empty text answer");
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fake_varnock::reset();
  platform_set_time_source(fixed_clock);
  // Each refresh runs once on the empty list and then stays shut, since
  // the clock never moves.
  refresh_server_info();
  refresh_server_status();
  refresh_footprint();
  make_servers();
  make_host_rows();
  make_member_rows();
  make_cert_rows();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Bytes in{data, size};
  for (int n = 0; n < kMaxRequests && in.size > 0; ++n) {
    Request request = read_request(in);
    check_answer(request);
  }
  fake_varnock::clear_log();
  return 0;
}
