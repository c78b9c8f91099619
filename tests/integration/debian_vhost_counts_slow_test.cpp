// The per-host access-log table against an Apache laid out as Debian lays
// out its own, mod_info off: the default site, without a ServerName, logs
// to access.log in combined, a named host to other_vhosts_access.log in
// vhost_combined. Each host row holds exactly the requests sent to it (and
// the agent's own status fetches, which the default site answers), and the
// host rows add up to the server row.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "collect/logs/log_sources.h"
#include "tests/support/debian_apache.h"
#include "tests/support/loopback.h"
#include "tests/support/ostrik_walk.h"
#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

const std::string kLogEntry = std::string(testsupport::kOstrikSubtree) + ".14.1";
const std::string kVhostEntry = std::string(testsupport::kOstrikSubtree) + ".15.1";

struct Counts {
  long long lines = 0, ok = 0, missing = 0, bytes = 0;
  void add(int status, long long size) {
    ++lines;
    ok += status / 100 == 2 ? 1 : 0;
    missing += status / 100 == 4 ? 1 : 0;
    bytes += size;
  }
};

// One request with a Host header; its status, and the bytes of the whole
// answer (what %O logs) added to counts.
void request(int port, const std::string &host, const std::string &path, Counts *counts) {
  const int fd = testsupport::loopback::connect_to(port);
  ASSERT_GE(fd, 0);
  const std::string text = "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
  (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  std::string answer;
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
    answer.append(buf, static_cast<size_t>(n));
  ::close(fd);
  int status = 0;
  ASSERT_EQ(std::sscanf(answer.c_str(), "HTTP/1.%*d %d", &status), 1) << answer;
  counts->add(status, static_cast<long long>(answer.size()));
}

// The agent's own status fetches that a log holds: they are the default
// site's requests too.
Counts status_fetches(const std::string &log) {
  Counts fetches;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find("GET /server-status");
    const size_t end = line.find("\" ", at);
    int status = 0;
    long long bytes = 0;
    if (at != std::string::npos && end != std::string::npos &&
        std::sscanf(line.c_str() + end + 2, "%d %lld", &status, &bytes) == 2)
      fetches.add(status, bytes);
  }
  return fetches;
}

TEST(DebianVhostCounts, EachHostRowHoldsItsOwnRequests) {
  if (geteuid() != 0)
    GTEST_SKIP() << "an instance of Debian's Apache is made by root";
  const std::map<std::string, std::string> sites = {
      {"named", "<VirtualHost *:@PORT@>\n  ServerName named.test\n"
                "  DocumentRoot /var/www/html\n</VirtualHost>\n"}};
  testsupport::DebianApache apache(sites);
  const int port = apache.port_number();
  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf = "apache " + apache.port() + " u p 0\n";
  testsupport::Varnockd daemon(setup);
  const auto walk = [&] {
    return testsupport::parse_ostrik_walk(daemon.walk(testsupport::kOstrikSubtree).out);
  };
  // Walks until ready says so, for at most 60 s (the logs are read at each
  // status refresh, every 10 s).
  const auto wait_for = [&](auto ready, testsupport::OstrikWalk *last) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    do {
      *last = walk();
      if (ready(*last))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  };
  testsupport::OstrikWalk w;
  ASSERT_TRUE(wait_for([&](const auto &x) { return x.number(kLogEntry, 2, port) == 2; }, &w));
  const std::string access = apache.log_dir() + "/access.log";
  const Counts before = status_fetches(access); // not counted: there before the logs were found

  Counts fallback, named;
  for (int i = 0; i < 3; ++i) {
    request(port, "127.0.0.1", "/", &fallback);
    request(port, "unnamed.test", "/missing", &fallback);
    request(port, "named.test", "/", &named);
    request(port, "named.test", "/missing", &named);
    request(port, "NAMED.test", "/", &named);
  }

  const std::string fallbackName = log_default_host_name();
  const auto host_cell = [&](const testsupport::OstrikWalk &x, const std::string &host,
                             int column) {
    std::string oid = kVhostEntry + "." + std::to_string(column) + "." + std::to_string(port) +
                      "." + std::to_string(host.size());
    for (unsigned char c : host)
      oid += "." + std::to_string(c);
    const auto at = x.values.find(oid);
    return at == x.values.end() ? -1 : std::stoll(at->second.substr(at->second.find(": ") + 2));
  };
  // The agent's fetches go on: a walk is taken as it was when the log then
  // held as many fetches as it counted.
  Counts fetches;
  ASSERT_TRUE(wait_for(
      [&](const testsupport::OstrikWalk &x) {
        fetches = status_fetches(access);
        fetches.lines -= before.lines;
        fetches.ok -= before.ok;
        fetches.bytes -= before.bytes;
        return x.number(kLogEntry, 6, port) == fallback.lines + named.lines + fetches.lines &&
               status_fetches(access).lines == fetches.lines + before.lines;
      },
      &w))
      << "lines " << w.number(kLogEntry, 6, port);
  Counts own = fallback;
  own.lines += fetches.lines;
  own.ok += fetches.ok;
  own.bytes += fetches.bytes;
  for (const auto &[host, sent] :
       std::map<std::string, Counts>{{fallbackName, own}, {"named.test", named}}) {
    SCOPED_TRACE(host);
    EXPECT_EQ(host_cell(w, host, 3), sent.lines);
    EXPECT_EQ(host_cell(w, host, 4), 0);            // not understood
    EXPECT_EQ(host_cell(w, host, 6), sent.ok);      // 2xx
    EXPECT_EQ(host_cell(w, host, 8), sent.missing); // 4xx
    EXPECT_EQ(host_cell(w, host, 10), sent.bytes);
  }
  EXPECT_EQ(w.number(kLogEntry, 7, port), 0);
  EXPECT_EQ(w.text(kLogEntry, 4, port), "ok");
  // No other host row.
  const std::string rows = kVhostEntry + ".3." + std::to_string(port) + ".";
  int hosts = 0;
  for (const auto &[oid, value] : w.values)
    hosts += oid.compare(0, rows.size(), rows) == 0 ? 1 : 0;
  EXPECT_EQ(hosts, 2);
}

} // namespace
