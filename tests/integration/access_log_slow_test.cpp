// The access-log tables over SNMP against a real Apache whose log format
// carries the virtual host, the bytes sent and the time taken (%v, %O, %D):
// a known mix of answers (200, 404, a CGI's 500, CGI answers that take
// 300 ms) to two virtual hosts is counted exactly, also across rotation by
// rename with a graceful restart and by copy-and-truncate while requests go
// on; and a hostile log of another server (huge lines, NULs, garbage, a
// directory, a FIFO) leaves the agent answering and these counters right.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/apache.h"
#include "tests/support/loopback.h"
#include "tests/support/ostrik_walk.h"
#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::ApacheInstance;
using testsupport::OstrikWalk;
using testsupport::Varnockd;
using testsupport::VarnockdSetup;

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "log-secret";
const std::string kLogEntry = std::string(testsupport::kOstrikSubtree) + ".14.1";
const std::string kVhostEntry = std::string(testsupport::kOstrikSubtree) + ".15.1";

// The module's own fetches of the status and info pages stay out of the
// timed log, so that it holds only what the test sends.
const char kExtraConf[] = R"conf(LoadModule cgi_module /usr/lib/apache2/modules/mod_cgi.so
LoadModule setenvif_module /usr/lib/apache2/modules/mod_setenvif.so
SetEnvIf Request_URI "^/server-(status|info)" ostrik_fetch
LogFormat "%v %h %l %u %t \"%r\" %>s %O %D" timed
CustomLog logs/timed_log timed env=!ostrik_fetch
<Location /cgi-bin/>
  SetHandler cgi-script
  Options +ExecCGI
</Location>
<VirtualHost *>
  ServerName alpha.test
</VirtualHost>
<VirtualHost *>
  ServerName beta.test
</VirtualHost>
)conf";

// The counters of one row, in the order of the tables' counter columns:
// lines, not understood, 1xx-5xx, bytes, timed, time sum, then the buckets.
struct Counts {
  long long lines = 0, unparsed = 0;
  std::array<long long, 5> status{};
  long long bytes = 0, timed = 0;
  long long slow = 0; // answers of about 300 ms, of those timed
};

// One request with a Host header; the bytes of the whole answer and its
// status code.
std::pair<size_t, int> request(int port, const std::string &host, const std::string &path) {
  const int fd = testsupport::loopback::connect_to(port);
  if (fd < 0) {
    return {0, 0};
  }
  const std::string text = "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
  (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  std::string answer;
  char buf[4096];
  long n;
  while ((n = testsupport::loopback::receive(fd, buf, sizeof buf)) > 0) {
    answer.append(buf, static_cast<size_t>(n));
  }
  testsupport::loopback::close_socket(fd);
  const int code = answer.size() > 12 ? std::atoi(answer.c_str() + 9) : 0;
  return {answer.size(), code};
}

class AccessLogTables : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    apache_ = new ApacheInstance(kUser, kPassword, kExtraConf);
    const std::string cgi = apache_->document_root() + "/cgi-bin";
    std::filesystem::create_directories(cgi);
    testsupport::write_file(cgi + "/slow.cgi",
                            "#!/bin/sh\nsleep 0.3\nprintf 'Content-Type: text/plain\\r\\n\\r\\n"
                            "slow\\n'\n");
    testsupport::write_file(cgi + "/fail.cgi",
                            "#!/bin/sh\nprintf 'Status: 500 Failed\\r\\nContent-Type: "
                            "text/plain\\r\\n\\r\\nfailed\\n'\n");
    ::chmod((cgi + "/slow.cgi").c_str(), 0755);
    ::chmod((cgi + "/fail.cgi").c_str(), 0755);
  }
  static void TearDownTestSuite() {
    delete apache_;
    apache_ = nullptr;
  }

  void SetUp() override {
    VarnockdSetup setup;
    setup.daemon = VARNOCKD_PATH;
    setup.modules = {OSTRIK_MODULE_PATH};
    setup.extra_args = {"--serve", "live"};
    hostilePort_ = testsupport::free_tcp_port();
    setup.ostrik_cf = "apache " + std::to_string(apache_->port()) + " " + kUser + " " + kPassword +
                      " 0\nserver http://127.0.0.1:" + std::to_string(hostilePort_) +
                      " u p 0 log=" + hostile_.file("hostile.log") + "\n";
    testsupport::write_file(hostile_.file("hostile.log"), "");
    daemon_ = std::make_unique<Varnockd>(setup);
    // The logs are taken up at the end they have when first seen.
    ASSERT_TRUE(wait_for([&](const OstrikWalk &w) {
      return w.number(kLogEntry, 6, apache_->port()) >= 0 &&
             w.number(kLogEntry, 2, hostilePort_) == 1;
    }));
  }
  void TearDown() override { daemon_.reset(); }

  OstrikWalk walk() const {
    return testsupport::parse_ostrik_walk(daemon_->walk(testsupport::kOstrikSubtree).out);
  }

  // Walks until ready says so, for at most 40 s (the logs are read at each
  // status refresh, every 10 s).
  template <typename Ready> bool wait_for(Ready ready, OstrikWalk *last = nullptr) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    for (;;) {
      const OstrikWalk w = walk();
      if (last != nullptr) {
        *last = w;
      }
      if (ready(w)) {
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  }

  // Sends one request and counts it for its host and for the server.
  void send(const std::string &host, const std::string &path, bool slow = false) {
    const auto [bytes, code] = request(apache_->port(), host, path);
    ASSERT_GE(code, 100) << host << path;
    for (Counts *c : {&total_, &hosts_[host]}) {
      ++c->lines;
      ++c->status[static_cast<size_t>(code / 100 - 1)];
      c->bytes += static_cast<long long>(bytes);
      ++c->timed;
      c->slow += slow ? 1 : 0;
    }
  }

  // A round of the mix: per host, 200s, 404s, a 500 and a slow 200.
  void send_mix(int n) {
    for (int i = 0; i < n; ++i) {
      for (const char *host : {"alpha.test", "beta.test"}) {
        send(host, "/");
        send(host, "/missing");
      }
      send("beta.test", "/cgi-bin/fail.cgi");
      send("alpha.test", "/cgi-bin/slow.cgi", true);
    }
  }

  // The counters of a row as the walk has them, beside what was sent.
  static void expect_row(const OstrikWalk &w, const std::string &what,
                         const std::function<long long(int)> &cell, const Counts &sent) {
    SCOPED_TRACE(what);
    EXPECT_EQ(cell(0), sent.lines);
    EXPECT_EQ(cell(1), 0);
    for (int k = 0; k < 5; ++k) {
      EXPECT_EQ(cell(2 + k), sent.status[static_cast<size_t>(k)]) << (k + 1) << "xx";
    }
    EXPECT_EQ(cell(7), sent.bytes);
    EXPECT_EQ(cell(8), sent.timed);
    EXPECT_GE(cell(9), sent.slow * 300000); // the time sum, microseconds
    // Buckets: 250 ms holds every quick answer and no slow one; 10 s all.
    EXPECT_EQ(cell(10 + 5), sent.timed - sent.slow);
    EXPECT_EQ(cell(10 + 10), sent.timed);
    (void)w;
  }

  // Every counter of the server's row and of both hosts' rows equals what
  // was sent, once the agent has caught up.
  void expect_counted(const std::string &what) {
    const int port = apache_->port();
    OstrikWalk w;
    EXPECT_TRUE(wait_for(
        [&](const OstrikWalk &x) { return x.number(kLogEntry, 6, port) >= total_.lines; }, &w))
        << what;
    std::this_thread::sleep_for(std::chrono::seconds(11)); // one more refresh: nothing doubled
    w = walk();
    expect_row(
        w, what + " server", [&](int k) { return w.number(kLogEntry, 6 + k, port); }, total_);
    for (const auto &[host, sent] : hosts_) {
      std::string index = "." + std::to_string(port) + "." + std::to_string(host.size());
      for (unsigned char c : host) {
        index += "." + std::to_string(c);
      }
      expect_row(
          w, what + " " + host,
          [&, index](int k) {
            auto at = w.values.find(kVhostEntry + "." + std::to_string(3 + k) + index);
            return at == w.values.end() ? -1
                                        : std::stoll(at->second.substr(at->second.find(": ") + 2));
          },
          sent);
    }
    EXPECT_EQ(w.text(kLogEntry, 4, port), "ok") << what;
    EXPECT_EQ(w.number(kLogEntry, 3, port), 0) << what;
  }

  static ApacheInstance *apache_;
  testsupport::TempDir hostile_;
  int hostilePort_ = 0;
  std::unique_ptr<Varnockd> daemon_;
  Counts total_;
  std::map<std::string, Counts> hosts_;
};

ApacheInstance *AccessLogTables::apache_ = nullptr;

TEST_F(AccessLogTables, EveryAnswerIsCountedOnceAcrossRotations) {
  send_mix(3);
  expect_counted("first mix");

  // Rotation by rename: Apache writes on into the renamed file until the
  // graceful restart opens a new one.
  const std::string log = apache_->dir() + "/logs/timed_log";
  send_mix(1);
  ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);
  send_mix(1);
  ASSERT_TRUE(apache_->graceful());
  send_mix(1);
  expect_counted("after rename");

  // Copy and truncate, as logrotate's copytruncate does, between requests
  // that the agent has not read yet.
  send_mix(1);
  std::filesystem::copy_file(log, log + ".2");
  ASSERT_EQ(::truncate(log.c_str(), 0), 0);
  send_mix(1);
  expect_counted("after copy and truncate");
}

TEST_F(AccessLogTables, AHostileLogLeavesTheAgentAndTheOtherServerRight) {
  const std::string path = hostile_.file("hostile.log");
  {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << std::string(16u << 20, 'x') << "\n";
    out << std::string("a\0b\0c", 5) << "\n\xff\xfe garbage \x01\x02\n";
    out << "127.0.0.1 - - [09/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n";
  }
  send_mix(1);
  OstrikWalk w;
  ASSERT_TRUE(
      wait_for([&](const OstrikWalk &x) { return x.number(kLogEntry, 6, hostilePort_) >= 4; }, &w));
  EXPECT_EQ(w.number(kLogEntry, 6, hostilePort_), 4);
  EXPECT_EQ(w.number(kLogEntry, 7, hostilePort_), 3);
  EXPECT_EQ(w.number(kLogEntry, 9, hostilePort_), 1);

  // The log becomes a directory, then a FIFO: never read, said so.
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  ASSERT_TRUE(
      wait_for([&](const OstrikWalk &x) { return x.number(kLogEntry, 3, hostilePort_) == 1; }, &w));
  EXPECT_NE(w.text(kLogEntry, 4, hostilePort_).find("not a regular file"), std::string::npos);
  std::filesystem::remove(path);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  send_mix(1);
  expect_counted("beside a hostile log");
  EXPECT_EQ(walk().number(kLogEntry, 3, hostilePort_), 1);
}

} // namespace
