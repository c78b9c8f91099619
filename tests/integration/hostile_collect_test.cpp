// The server-info and server-status refreshes against servers that misbehave
// in every way we know of, each on its own port and all in one walk, with
// good servers among them. The receive time-out is cut to 5 seconds, so the
// silent and trickling servers cost seconds, not minutes; the daemon-level
// tests (hostile_daemon_test, hostile_daemon_slow_test) run the same
// servers against the built module with its real time-outs.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "collect/pages/fetch_page.h"
#include "collect/pages/page_refresh.h"
#include "collect/pages/server_info.h"
#include "collect/pages/server_status.h"
#include "config/read_config.h"
#include "config/server_list.h"
#include "platform/clock.h"
#include "tests/support/apache.h"
#include "tests/support/build_kind.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/hostile_server.h"
#include "tests/support/module_state.h"
#include "tests/support/process.h"

namespace {

using testsupport::ApacheFacts;
using testsupport::HostileServer;
using testsupport::Hostility;
using Clock = std::chrono::steady_clock;

// Long enough for the 16 MiB of garbage to arrive whole in the sanitizer
// build, and in the optimised one while other tests and builds share the
// processors, so that it is cut by the size bound rather than by the clock.
constexpr int kReceiveTimeout = testsupport::kSanitizedBuild ? 30 : 5;

using testsupport::fake_now;

// The fields each refresh writes, by name, for messages that say which one
// changed.
struct TextField {
  const char *name;
  char (ServerEntry::*field)[SERVER_TEXT_FIELD];
};
struct NumberField {
  const char *name;
  int32_t ServerEntry::*field;
};

const TextField kInfoText[] = {
    {"version", &ServerEntry::version},
    {"runMode", &ServerEntry::runMode},
    {"userName", &ServerEntry::userName},
    {"groupName", &ServerEntry::groupName},
    {"hostname", &ServerEntry::hostname},
    {"serverRoot", &ServerEntry::serverRoot},
    {"configFile", &ServerEntry::configFile},
    {"pidFile", &ServerEntry::pidFile},
    {"scoreboardFile", &ServerEntry::scoreboardFile},
    {"documentRoot", &ServerEntry::documentRoot},
    {"accessLog", &ServerEntry::accessLog},
    {"errorLog", &ServerEntry::errorLog},
    {"scriptLog", &ServerEntry::scriptLog},
};
const NumberField kInfoNumbers[] = {
    {"port", &ServerEntry::port},
    {"pid", &ServerEntry::pid},
    {"startProcs", &ServerEntry::startProcs},
    {"minIdleProcs", &ServerEntry::minIdleProcs},
    {"maxIdleProcs", &ServerEntry::maxIdleProcs},
    {"maxProcs", &ServerEntry::maxProcs},
    {"requestsMaxPerChild", &ServerEntry::requestsMaxPerChild},
    {"keepAlive", &ServerEntry::keepAlive},
    {"requestsMaxPerConn", &ServerEntry::requestsMaxPerConn},
    {"threadsPerChild", &ServerEntry::threadsPerChild},
    {"connectionTimeout", &ServerEntry::connectionTimeout},
    {"keepAliveTimeout", &ServerEntry::keepAliveTimeout},
};
const NumberField kStatusNumbers[] = {
    {"uptime", &ServerEntry::uptime},
    {"totalAccesses", &ServerEntry::totalAccesses},
    {"totalKBytes", &ServerEntry::totalKBytes},
    {"busyWorkers", &ServerEntry::busyWorkers},
    {"idleWorkers", &ServerEntry::idleWorkers},
    {"startingCount", &ServerEntry::startingCount},
    {"readingCount", &ServerEntry::readingCount},
    {"replyingCount", &ServerEntry::replyingCount},
    {"keepAliveCount", &ServerEntry::keepAliveCount},
    {"dnsCount", &ServerEntry::dnsCount},
    {"loggingCount", &ServerEntry::loggingCount},
    {"finishingCount", &ServerEntry::finishingCount},
};

void expect_info_kept(const ServerEntry &before, const ServerEntry &after, const char *what) {
  for (const TextField &f : kInfoText) {
    EXPECT_STREQ(after.*f.field, before.*f.field) << what << ": " << f.name;
  }
  for (const NumberField &f : kInfoNumbers) {
    EXPECT_EQ(after.*f.field, before.*f.field) << what << ": " << f.name;
  }
}

void expect_status_kept(const ServerEntry &before, const ServerEntry &after, const char *what) {
  for (const NumberField &f : kStatusNumbers) {
    EXPECT_EQ(after.*f.field, before.*f.field) << what << ": " << f.name;
  }
}

// What the collector must read from the good pages of facts.
void expect_info_of(const ServerEntry &e, const ApacheFacts &f, int32_t pid, const char *what) {
  const std::string version = f.version.substr(0, f.version.find(' '));
  EXPECT_STREQ(e.version, version.c_str()) << what;
  EXPECT_STREQ(e.hostname, f.hostname.c_str()) << what;
  EXPECT_STREQ(e.userName, f.user.c_str()) << what;
  EXPECT_STREQ(e.groupName, f.group.c_str()) << what;
  EXPECT_EQ(e.connectionTimeout, f.connection_timeout) << what;
  EXPECT_EQ(e.keepAliveTimeout, f.keepalive_timeout) << what;
  EXPECT_EQ(e.maxProcs, f.max_workers) << what;
  EXPECT_EQ(e.startProcs, f.start_servers) << what;
  EXPECT_EQ(e.minIdleProcs, f.min_spare) << what;
  EXPECT_EQ(e.maxIdleProcs, f.max_spare) << what;
  EXPECT_EQ(e.requestsMaxPerChild, f.max_connections_per_child) << what;
  EXPECT_EQ(e.keepAlive, f.keepalive ? 1 : 0) << what;
  EXPECT_EQ(e.requestsMaxPerConn, f.max_keepalive_requests) << what;
  EXPECT_EQ(e.threadsPerChild, 0) << what;
  EXPECT_STREQ(e.serverRoot, f.server_root.c_str()) << what;
  EXPECT_EQ(std::string(e.configFile), " " + f.server_root + "/conf/httpd.conf") << what;
  EXPECT_STREQ(e.pidFile, f.pid_file.c_str()) << what;
  EXPECT_STREQ(e.documentRoot, f.document_root.c_str()) << what;
  EXPECT_STREQ(e.accessLog, f.access_log.c_str()) << what;
  EXPECT_STREQ(e.errorLog, f.error_log.c_str()) << what;
  EXPECT_EQ(e.pid, pid) << what;
}

int32_t count(const std::string &board, char mark) {
  return static_cast<int32_t>(std::count(board.begin(), board.end(), mark));
}

void expect_scoreboard(const ServerEntry &e, const std::string &board, const char *what) {
  EXPECT_EQ(e.startingCount, count(board, 'S')) << what;
  EXPECT_EQ(e.readingCount, count(board, 'R')) << what;
  EXPECT_EQ(e.replyingCount, count(board, 'W')) << what;
  EXPECT_EQ(e.keepAliveCount, count(board, 'K')) << what;
  EXPECT_EQ(e.dnsCount, count(board, 'D')) << what;
  EXPECT_EQ(e.loggingCount, count(board, 'L')) << what;
  EXPECT_EQ(e.finishingCount, count(board, 'G')) << what;
}

void expect_status_of(const ServerEntry &e, const ApacheFacts &f, const char *what) {
  EXPECT_EQ(e.uptime, f.uptime) << what;
  EXPECT_EQ(e.totalAccesses, f.total_accesses) << what;
  EXPECT_EQ(e.totalKBytes, f.total_kbytes) << what;
  EXPECT_EQ(e.busyWorkers, f.busy) << what;
  EXPECT_EQ(e.idleWorkers, f.idle) << what;
  expect_scoreboard(e, f.scoreboard, what);
}

bool logged(const std::string &part) {
  for (const fake_varnock::LogLine &line : fake_varnock::log()) {
    if (line.text.find(part) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// One monitored server: a hostile server and the facts of its good pages.
struct Monitored {
  Hostility hostility;
  std::unique_ptr<HostileServer> server;
  ApacheFacts facts;
  int32_t pid = 0;
  ServerEntry *entry = nullptr;
  ServerEntry before{};
};

class HostileCollect : public ::testing::Test {
protected:
  void SetUp() override { testsupport::fresh_module(1000000, kReceiveTimeout); }
  void TearDown() override { testsupport::leave_module(); }

  // A server with values of its own (n tells them apart) and a PID file
  // under its server root.
  Monitored &monitor(Hostility hostility) {
    const int n = static_cast<int>(servers_.size()) + 1;
    Monitored m;
    m.hostility = hostility;
    m.facts.server_root = dir_.path() + "/root" + std::to_string(n);
    m.facts.document_root = m.facts.server_root + "/htdocs";
    m.facts.hostname = "host" + std::to_string(n) + ".example.test";
    m.facts.start_servers = 2 + n;
    m.facts.min_spare = 1 + n;
    m.facts.max_spare = 20 + n;
    m.facts.max_workers = 100 + n;
    m.facts.max_connections_per_child = 1000 * n;
    m.facts.max_keepalive_requests = 50 + n;
    m.facts.keepalive = n % 2 == 0;
    m.facts.connection_timeout = 30 + n;
    m.facts.keepalive_timeout = 2 + n;
    m.facts.uptime = 10000 * n;
    m.facts.total_accesses = 1000 * n + 1;
    m.facts.total_kbytes = 500 * n + 2;
    m.facts.busy = n;
    m.facts.idle = 2 * n;
    m.facts.scoreboard = std::string(static_cast<size_t>(n), 'W') + "_K_R____S..L.G.D";
    m.pid = 4000000 + n;
    testsupport::run_command({"mkdir", "-p", m.facts.server_root + "/logs"});
    testsupport::write_file(m.facts.server_root + "/logs/httpd.pid", std::to_string(m.pid) + "\n");
    m.server = std::make_unique<HostileServer>(m.facts);
    const std::string credentials = testsupport::basic_credentials("monitor", "s3cret");
    EXPECT_EQ(add_server(m.server->port(), "monitor", "s3cret", 0, credentials.c_str()), 1);
    m.entry = find_server(m.server->port());
    servers_.push_back(std::move(m));
    return servers_.back();
  }

  // Both refreshes, due: the info refresh first, then the status pages.
  double refresh_both() {
    fake_now += 300;
    const auto start = Clock::now();
    EXPECT_EQ(refresh_server_status(), 0);
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  testsupport::TempDir dir_;
  std::vector<Monitored> servers_;
};

TEST_F(HostileCollect, HostileServersKeepWhatWasKnownAndTheOthersAreStillRead) {
  const std::vector<Hostility> hostile = {
      Hostility::Silent,       Hostility::Trickle,     Hostility::Garbage,
      Hostility::BinaryNul,    Hostility::LongLine,    Hostility::LongScoreboard,
      Hostility::EmptyLabels,  Hostility::HugeNumbers, Hostility::UnclosedTag,
      Hostility::Unauthorized, Hostility::NotFound,    Hostility::ServerError,
      Hostility::Reset};
  monitor(Hostility::None);
  for (Hostility h : hostile) {
    monitor(h);
  }
  monitor(Hostility::None);

  // Every server behaves: everything is read from the good pages.
  refresh_both();
  for (Monitored &m : servers_) {
    ASSERT_NE(m.entry, nullptr);
    expect_info_of(*m.entry, m.facts, m.pid, "good pages");
    expect_status_of(*m.entry, m.facts, "good pages");
    m.before = *m.entry;
  }

  // All turn hostile at once; the good servers have news.
  for (Monitored &m : servers_) {
    if (m.hostility == Hostility::None) {
      m.facts.total_accesses += 77;
      m.facts.uptime += 300;
      m.facts.start_servers += 1;
      m.facts.scoreboard = "RRRR";
      m.server->set_facts(m.facts);
    }
    m.server->set(m.hostility);
  }
  fake_varnock::clear_log();
  const double seconds = refresh_both();
  // Each of the silent and trickling servers holds each refresh for the
  // receive time-out (twice: info page and status page), no longer.
  EXPECT_LT(seconds, 4 * (kReceiveTimeout + 1) + 20) << "one walk of both refreshes";
  std::printf("[ figures  ] one walk of both refreshes over %zu servers, %d-second time-out: "
              "%.1f s\n",
              servers_.size(), kReceiveTimeout, seconds);

  const ApacheFacts evil = testsupport::hostile_facts();
  for (Monitored &m : servers_) {
    const char *what = testsupport::hostility_name(m.hostility);
    SCOPED_TRACE(what);
    const ServerEntry &e = *m.entry;
    EXPECT_EQ(find_server(m.server->port()), m.entry) << "the row stays at its port";
    EXPECT_EQ(m.server->requests("/server-info"), 2) << what;
    EXPECT_EQ(m.server->requests("/server-status?auto"), 2) << what;
    switch (m.hostility) {
    case Hostility::None:
      expect_info_of(e, m.facts, m.pid, what);
      expect_status_of(e, m.facts, what);
      break;
    case Hostility::LongLine: {
      // The line's head carries the status items; a copy of 8192
      // characters of it is read. The info page is letters only.
      expect_info_kept(m.before, e, what);
      ApacheFacts read = m.facts;
      read.uptime = evil.uptime;
      read.total_accesses = evil.total_accesses;
      read.total_kbytes = evil.total_kbytes;
      read.busy = evil.busy;
      read.idle = evil.idle;
      read.scoreboard = evil.scoreboard;
      expect_status_of(e, read, what);
      break;
    }
    case Hostility::LongScoreboard: {
      // The scoreboard is counted as far as the line limit reaches: the
      // line, label included, is cut at STATUS_LINE_LIMIT characters.
      expect_info_kept(m.before, e, what);
      ApacheFacts read = m.facts;
      read.scoreboard =
          testsupport::long_scoreboard().substr(0, STATUS_LINE_LIMIT - std::strlen("Scoreboard: "));
      expect_status_of(e, read, what);
      EXPECT_GT(e.startingCount, 700) << "thousands of slots are counted";
      break;
    }
    case Hostility::EmptyLabels:
      // Labels whose line is split into too few tokens leave their fields
      // alone; the directives read "token 0 always" take the empty token,
      // and a label with no value before another word takes that word,
      // which is no number ("connection:  keep-alive:", "Max Daemons:
      // Threaded: no"): 0.
      EXPECT_STREQ(e.version, m.before.version);
      EXPECT_STREQ(e.hostname, m.before.hostname);
      EXPECT_EQ(e.connectionTimeout, 0);
      EXPECT_EQ(e.keepAliveTimeout, 0);
      EXPECT_EQ(e.maxProcs, 0);
      EXPECT_STREQ(e.accessLog, m.before.accessLog);
      EXPECT_STREQ(e.errorLog, m.before.errorLog);
      EXPECT_EQ(e.pid, m.pid);
      EXPECT_EQ(e.startProcs, 0);
      EXPECT_EQ(e.requestsMaxPerConn, 0);
      expect_status_kept(m.before, e, what);
      break;
    case Hostility::HugeNumbers: {
      // The low 32 bits of each number, as a 32-bit counter keeps it.
      ServerEntry read = m.before;
      read.startProcs = 5;                // 2^32 + 5
      read.minIdleProcs = -159383553;     // 10^23 - 1
      read.maxProcs = 0;                  // 2^64
      read.requestsMaxPerConn = 0;        // 2^63
      read.connectionTimeout = INT32_MIN; // 2^31
      read.keepAliveTimeout = INT32_MAX;  // -(2^31 + 1)
      read.totalAccesses = 1312754386;    // a 30-digit number
      read.totalKBytes = 1;               // 2^64 + 1
      read.uptime = 1;                    // 2^128 + 1
      read.busyWorkers = -1661992959;     // -(10^20 - 1)
      read.idleWorkers = 7;               // 7 behind 49 zeros
      expect_info_kept(read, e, what);
      expect_status_kept(read, e, what);
      break;
    }
    default:
      // Silent, Trickle, Garbage, BinaryNul, UnclosedTag, 401, 404, 500,
      // Reset: no page, or none that can be read; nothing changes.
      expect_info_kept(m.before, e, what);
      expect_status_kept(m.before, e, what);
      break;
    }
  }
  // Each page's health record says how its fetch went.
  const std::map<Hostility, std::pair<PageOutcome, int32_t>> health = {
      {Hostility::None, {PAGE_OK, 200}},
      {Hostility::Silent, {PAGE_TIMED_OUT, 0}},
      {Hostility::Garbage, {PAGE_CUT_SHORT, 200}},
      {Hostility::UnclosedTag, {PAGE_NOT_A_PAGE, 200}},
      {Hostility::Unauthorized, {PAGE_HTTP_ERROR, 401}},
      {Hostility::NotFound, {PAGE_HTTP_ERROR, 404}},
      {Hostility::ServerError, {PAGE_HTTP_ERROR, 500}},
      {Hostility::Reset, {PAGE_CUT_SHORT, 200}},
  };
  for (const Monitored &m : servers_) {
    const auto expected = health.find(m.hostility);
    if (expected == health.end()) {
      continue;
    }
    const bool ok = m.hostility == Hostility::None;
    for (const PageHealth *h : {&m.entry->infoHealth, &m.entry->statusHealth}) {
      SCOPED_TRACE(testsupport::hostility_name(m.hostility));
      EXPECT_EQ(h->outcome, expected->second.first);
      EXPECT_EQ(h->httpCode, expected->second.second);
      EXPECT_EQ(h->failures, ok ? 0u : 1u);
      EXPECT_EQ(h->lastRead, ok ? fake_now : fake_now - 300);
    }
  }
  EXPECT_TRUE(logged("took over " + std::to_string(kReceiveTimeout) + " seconds"))
      << "the trickling server is cut off";
  // Cut by its own bound, or first by the bound of all the refresh's answers
  // together (its two pages stream at once).
  EXPECT_TRUE(logged("exceeds 16 MiB") || logged("MiB together")) << "the garbage is cut off";

  // And once they behave again, everything is read afresh.
  for (Monitored &m : servers_) {
    m.facts.total_accesses += 1;
    m.server->set_facts(m.facts);
    m.server->set(Hostility::None);
  }
  refresh_both();
  for (Monitored &m : servers_) {
    const char *what = testsupport::hostility_name(m.hostility);
    expect_info_of(*m.entry, m.facts, m.pid, what);
    expect_status_of(*m.entry, m.facts, what);
  }
}

TEST_F(HostileCollect, SilentServersCostOneTimeOutPerRefreshAndTheLogKeepsListOrder) {
  for (Hostility h : {Hostility::None, Hostility::Silent, Hostility::Silent, Hostility::Trickle,
                      Hostility::Silent, Hostility::None, Hostility::Silent}) {
    monitor(h);
  }
  refresh_both();
  for (Monitored &m : servers_) {
    m.facts.total_accesses += 5;
    m.server->set_facts(m.facts);
    m.server->set(m.hostility);
  }
  fake_varnock::clear_log();
  const double seconds = refresh_both();
  // One after the other, the five hostile servers would hold the two pages
  // for ten time-outs; sent together, they wait one.
  EXPECT_LT(seconds, kReceiveTimeout + 2) << "both pages";
  std::vector<std::string> expected;
  for (const char *path : {"/server-info", "/server-status?auto"}) {
    for (const ServerEntry *e = server_list; e != nullptr; e = e->next) {
      expected.push_back(std::string("fetching url ") + path);
      expected.push_back("contact webserver 127.0.0.1:" + std::to_string(e->port));
    }
  }
  std::vector<std::string> seen;
  for (const fake_varnock::LogLine &line : fake_varnock::log()) {
    for (const char *part : {"fetching url ", "contact webserver "}) {
      const size_t at = line.text.find(part);
      if (at != std::string::npos) {
        seen.push_back(line.text.substr(at, line.text.find('\n', at) - at));
      }
    }
  }
  EXPECT_EQ(seen, expected);
  for (const Monitored &m : servers_) {
    SCOPED_TRACE(testsupport::hostility_name(m.hostility));
    if (m.hostility == Hostility::None) {
      expect_status_of(*m.entry, m.facts, "good server among silent ones");
    } else {
      EXPECT_EQ(m.entry->statusHealth.outcome, PAGE_TIMED_OUT);
      EXPECT_EQ(m.entry->infoHealth.outcome, PAGE_TIMED_OUT);
    }
  }

  // With a waiting hook the good servers' pages are stored while the silent
  // ones are still awaited, and a refresh called meanwhile returns at once.
  for (Monitored &m : servers_) {
    m.facts.total_accesses += 5;
    m.server->set_facts(m.facts);
  }
  static std::function<void(int32_t)> waiting;
  bool fresh_while_waiting = false;
  double longest_nested = 0;
  waiting = [&](int32_t news) {
    const auto start = Clock::now();
    EXPECT_EQ(refresh_server_status(), 0);
    longest_nested =
        std::max(longest_nested, std::chrono::duration<double>(Clock::now() - start).count());
    bool fresh = news != 0;
    for (const Monitored &m : servers_) {
      fresh = fresh &&
              (m.hostility != Hostility::None || m.entry->totalAccesses == m.facts.total_accesses);
    }
    fresh_while_waiting = fresh_while_waiting || fresh;
  };
  page_refresh_set_waiting_hook([](int32_t news) { waiting(news); });
  EXPECT_LT(refresh_both(), kReceiveTimeout + 2);
  page_refresh_set_waiting_hook(nullptr);
  EXPECT_TRUE(fresh_while_waiting);
  EXPECT_LT(longest_nested, 0.5);
}

// The answers of one refresh hold no more than the shared bound, however
// many servers send too much: past it the largest is cut.
TEST_F(HostileCollect, ServersThatSendTooMuchShareOneBound) {
  // 32 MiB from four servers at once, which the sanitizer build takes its
  // time to copy: the wait is not what this test measures.
  fetch_page_set_receive_timeout(4 * kReceiveTimeout);
  std::vector<std::unique_ptr<HostileServer>> floods;
  PageFetches fetches(4);
  for (int i = 0; i < 4; ++i) {
    floods.push_back(std::make_unique<HostileServer>());
    floods.back()->set(Hostility::Garbage);
    fetches.add("127.0.0.1", static_cast<uint16_t>(floods.back()->port()), "/server-status?auto",
                "bTpw");
  }
  fetches.run();
  long long held = 0;
  for (size_t i = 0; i < 4; ++i) {
    const char *page = nullptr;
    FetchEnd end = FETCH_NOT_SENT;
    held += std::max(0, fetches.take(i, &page, &end));
    EXPECT_EQ(end, FETCH_TOO_LONG) << i;
  }
  EXPECT_LE(held, 32LL * 1024 * 1024);
}

// A time-out of the server's own, from its line, with the module's default
// left at its 60 seconds: a silent server costs each refresh 2 seconds, and
// a good server beside it is read.
TEST_F(HostileCollect, ASilentServerCostsItsLinesTimeOutNotTheDefault) {
  fetch_page_set_receive_timeout(0);
  HostileServer silent;
  silent.set(Hostility::Silent);
  HostileServer good;
  const std::string account = " monitor s3cret 0";
  testsupport::write_file(dir_.file("ostrik.cf"),
                          "server http://127.0.0.1:" + std::to_string(silent.port()) + account +
                              " timeout=2\napache " + std::to_string(good.port()) + account + "\n");
  ASSERT_EQ(read_config(dir_.file("ostrik.cf").c_str()), 0);
  const double seconds = refresh_both();
  // The info and status pages go out together: one wait of the line's
  // time-out.
  EXPECT_GE(seconds, 2 - 0.5);
  EXPECT_LT(seconds, 2 + 2);
  EXPECT_EQ(find_server(silent.port())->statusHealth.outcome, PAGE_TIMED_OUT);
  EXPECT_EQ(find_server(good.port())->statusHealth.outcome, PAGE_OK);
}

// A server that another user runs on a configured port (an impostor while
// Apache is down) is asked without the credentials and its pages may name
// no files; a server line whose owner= is that user trusts it again.
class NobodysServer {
public:
  // Forks a child that becomes nobody, listens on a loopback port and
  // answers every request with a status page, passing each request back.
  NobodysServer() {
    int ports[2];
    if (pipe(ports) != 0 || pipe(requests_) != 0) {
      return;
    }
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr) {
      return;
    }
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    child_ = fork();
    if (child_ == 0) {
      close(ports[0]);
      close(requests_[0]);
      serve(uid, gid, ports[1], requests_[1]);
    }
    close(ports[1]);
    close(requests_[1]);
    uint16_t port = 0;
    if (child_ > 0 && read(ports[0], &port, sizeof port) == sizeof port) {
      port_ = port;
    }
    close(ports[0]);
  }
  ~NobodysServer() {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    close(requests_[0]);
  }
  int port() const { return port_; }
  // What arrived so far.
  std::string received() {
    std::string text;
    char buffer[4096];
    while (poll_one(200)) {
      const ssize_t n = read(requests_[0], buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }

private:
  pid_t child_ = -1;
  int port_ = 0;
  int requests_[2] = {-1, -1};

  bool poll_one(int ms) {
    pollfd p{requests_[0], POLLIN, 0};
    return poll(&p, 1, ms) == 1;
  }

  [[noreturn]] static void serve(uid_t uid, gid_t gid, int portOut, int requestsOut) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
      _exit(1);
    }
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
      _exit(1);
    }
    const uint16_t port = ntohs(address.sin_port);
    (void)!write(portOut, &port, sizeof port);
    static const char kPage[] = "HTTP/1.0 200 OK\r\n\r\nBusyWorkers: 1\nIdleWorkers: 3\n";
    for (;;) {
      const int client = accept(listener, nullptr, nullptr);
      if (client < 0) {
        continue;
      }
      char buffer[4096];
      const ssize_t n = read(client, buffer, sizeof buffer);
      if (n > 0) {
        (void)!write(requestsOut, buffer, static_cast<size_t>(n));
      }
      (void)!write(client, kPage, sizeof kPage - 1);
      close(client);
    }
  }
};

TEST_F(HostileCollect, APortAnotherUserHoldsGetsNoCredentials) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run a server as nobody";
  }
  NobodysServer nobody;
  ASSERT_GT(nobody.port(), 0);
  HostileServer good; // root's, as every test server: trusted as before
  const std::string account = " monitor s3cret 0";
  testsupport::write_file(dir_.file("ostrik.cf"), "apache " + std::to_string(nobody.port()) +
                                                      account + "\napache " +
                                                      std::to_string(good.port()) + account + "\n");
  ASSERT_EQ(read_config(dir_.file("ostrik.cf").c_str()), 0);
  refresh_both();
  refresh_both();
  const std::string asked = nobody.received();
  EXPECT_NE(asked.find("GET /server-status"), std::string::npos) << asked;
  EXPECT_EQ(asked.find("Authorization"), std::string::npos) << asked;
  EXPECT_EQ(find_server(nobody.port())->pathsTrusted, 0);
  EXPECT_EQ(find_server(good.port())->pathsTrusted, 1);
  EXPECT_EQ(find_server(good.port())->statusHealth.outcome, PAGE_OK);
  int warned = 0;
  for (const auto &entry : fake_varnock::log()) {
    warned += entry.text.find("is held by user") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(warned, 1); // once, not at every refresh

  // Named as its owner, the user's server gets them.
  testsupport::write_file(dir_.file("ostrik.cf"),
                          "server http://127.0.0.1:" + std::to_string(nobody.port()) + account +
                              " owner=nobody\n");
  free_server_list();
  ASSERT_EQ(read_config(dir_.file("ostrik.cf").c_str()), 0);
  refresh_both();
  EXPECT_NE(nobody.received().find("Authorization: Basic"), std::string::npos);
  EXPECT_EQ(find_server(nobody.port())->pathsTrusted, 1);
}

} // namespace
