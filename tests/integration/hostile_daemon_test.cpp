// varnockd with the ostrik module watching a real Apache and eleven servers
// that turn hostile all at once: garbage, binary data, an 8 MiB line, a
// 100,000-character scoreboard, labels with no values, numbers beyond 64
// bits, a tag that never closes, 401, 404 and 500 answers, and a reset. The
// daemon must live through the refresh that meets them, answer SNMP after
// it, keep each server's last good values (or take what its page
// legitimately carries), and go on serving the real Apache.
//
// The servers that never answer or trickle cost the full 60-second receive
// time-out per page; they are in hostile_daemon_slow_test.cpp.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "collect/pages/server_status.h"
#include "tests/support/apache.h"
#include "tests/support/build_kind.h"
#include "tests/support/hostile_server.h"
#include "tests/support/ostrik_walk.h"
#include "tests/support/process.h"
#include "tests/support/snmpd.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::ApacheFacts;
using testsupport::ApacheInstance;
using testsupport::CommandResult;
using testsupport::HostileServer;
using testsupport::Hostility;
using testsupport::kConfigEntry;
using testsupport::kPerformanceEntry;
using testsupport::OstrikWalk;
using testsupport::Varnockd;
using testsupport::VarnockdSetup;
using Clock = std::chrono::steady_clock;

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "hostile-secret";

// The performance table's columns 2 to 13, as the agent answers them
// (unsigned 32-bit).
struct PerfRow {
  long long uptime, accesses, kbytes, busy, idle, s, r, w, k, d, l, g;
};

long long u32(int64_t value) { return static_cast<long long>(static_cast<uint32_t>(value)); }

PerfRow row_of(const ApacheFacts &f) {
  auto n = [&](char c) {
    return static_cast<long long>(std::count(f.scoreboard.begin(), f.scoreboard.end(), c));
  };
  return {u32(f.uptime),
          u32(f.total_accesses),
          u32(f.total_kbytes),
          u32(f.busy),
          u32(f.idle),
          n('S'),
          n('R'),
          n('W'),
          n('K'),
          n('D'),
          n('L'),
          n('G')};
}

PerfRow row_in(const OstrikWalk &walk, int port) {
  auto c = [&](int column) { return walk.number(kPerformanceEntry, column, port); };
  return {c(2), c(3), c(4), c(5), c(6), c(7), c(8), c(9), c(10), c(11), c(12), c(13)};
}

void expect_row(const PerfRow &got, const PerfRow &want, const char *what) {
  EXPECT_EQ(got.uptime, want.uptime) << what;
  EXPECT_EQ(got.accesses, want.accesses) << what;
  EXPECT_EQ(got.kbytes, want.kbytes) << what;
  EXPECT_EQ(got.busy, want.busy) << what;
  EXPECT_EQ(got.idle, want.idle) << what;
  EXPECT_EQ(got.s, want.s) << what;
  EXPECT_EQ(got.r, want.r) << what;
  EXPECT_EQ(got.w, want.w) << what;
  EXPECT_EQ(got.k, want.k) << what;
  EXPECT_EQ(got.d, want.d) << what;
  EXPECT_EQ(got.l, want.l) << what;
  EXPECT_EQ(got.g, want.g) << what;
}

// What the performance row of a server must show after the refresh that met
// its hostile pages, given the values of its good pages before.
PerfRow expected_after(Hostility h, const ApacheFacts &good) {
  ApacheFacts f = good;
  switch (h) {
  case Hostility::LongLine: { // the status items at the head of the line
    const ApacheFacts evil = testsupport::hostile_facts();
    f.uptime = evil.uptime;
    f.total_accesses = evil.total_accesses;
    f.total_kbytes = evil.total_kbytes;
    f.busy = evil.busy;
    f.idle = evil.idle;
    f.scoreboard = evil.scoreboard;
    return row_of(f);
  }
  case Hostility::LongScoreboard: // counted as far as the line limit reaches
    f.scoreboard =
        testsupport::long_scoreboard().substr(0, STATUS_LINE_LIMIT - std::strlen("Scoreboard: "));
    return row_of(f);
  case Hostility::HugeNumbers: { // the low 32 bits of each
    PerfRow row = row_of(f);
    row.accesses = u32(1312754386);
    row.kbytes = 1;
    row.uptime = 1;
    row.busy = u32(-1661992959);
    row.idle = 7;
    return row;
  }
  default: // nothing readable: the last good values
    return row_of(f);
  }
}

struct Monitored {
  Hostility hostility;
  std::unique_ptr<HostileServer> server;
  ApacheFacts facts;
};

class HostileDaemon : public ::testing::Test {
protected:
  Monitored &monitor(Hostility h) {
    const int n = static_cast<int>(servers_.size()) + 1;
    Monitored m;
    m.hostility = h;
    m.facts.server_root = dir_.path() + "/root" + std::to_string(n);
    m.facts.document_root = m.facts.server_root + "/htdocs";
    m.facts.start_servers = 2 + n;
    m.facts.uptime = 10000 * n;
    m.facts.total_accesses = 1000 * n + 1;
    m.facts.total_kbytes = 500 * n + 2;
    m.facts.busy = n;
    m.facts.idle = 2 * n;
    m.facts.scoreboard = std::string(static_cast<size_t>(n), 'W') + "_K_R____S..L.G.D";
    m.server = std::make_unique<HostileServer>(m.facts);
    servers_.push_back(std::move(m));
    return servers_.back();
  }

  std::string ostrik_cf(const ApacheInstance &apache) const {
    std::string cf = "# a real Apache and servers that turn hostile\n";
    cf += "apache " + std::to_string(apache.port()) + " " + kUser + " " + kPassword + " 0\n";
    for (const Monitored &m : servers_) {
      cf += "apache " + std::to_string(m.server->port()) + " " + kUser + " " + kPassword + " 0\n";
    }
    return cf;
  }

  VarnockdSetup setup(const ApacheInstance &apache) const {
    VarnockdSetup s;
    s.daemon = VARNOCKD_PATH;
    s.modules = {OSTRIK_MODULE_PATH};
    s.ostrik_cf = ostrik_cf(apache);
    // The sanitizer build is slow to start.
    if (testsupport::kSanitizedBuild) {
      s.start_timeout_seconds = 120;
    }
    return s;
  }

  testsupport::TempDir dir_;
  std::vector<Monitored> servers_;
};

const std::vector<Hostility> kHostile = {
    Hostility::Garbage,        Hostility::BinaryNul,    Hostility::LongLine,
    Hostility::LongScoreboard, Hostility::EmptyLabels,  Hostility::HugeNumbers,
    Hostility::UnclosedTag,    Hostility::Unauthorized, Hostility::NotFound,
    Hostility::ServerError,    Hostility::Reset};

TEST_F(HostileDaemon, LivesThroughHostilePagesKeepsWhatItKnewAndServesTheRest) {
  ApacheInstance apache(kUser, kPassword);
  for (Hostility h : kHostile) {
    monitor(h);
  }
  // The walks open the module's gates themselves: the refreshes run inside
  // the requests.
  VarnockdSetup live = setup(apache);
  live.extra_args = {"--serve", "live"};
  Varnockd daemon(live);

  // Every server behaves: one walk of the whole subtree reads them all.
  CommandResult first = daemon.bulkwalk(testsupport::kOstrikSubtree);
  const auto first_walk = Clock::now();
  ASSERT_EQ(first.exit_code, 0) << first.err;
  const OstrikWalk before = testsupport::parse_ostrik_walk(first.out);
  ASSERT_EQ(before.rows(kPerformanceEntry).size(), servers_.size() + 1) << first.out;
  for (const Monitored &m : servers_) {
    const int port = m.server->port();
    const char *what = testsupport::hostility_name(m.hostility);
    expect_row(row_in(before, port), row_of(m.facts), what);
    EXPECT_EQ(before.text(kConfigEntry, 2, port), "Apache/2.4.62") << what;
    EXPECT_EQ(before.number(kConfigEntry, 8, port), m.facts.start_servers) << what;
  }
  const long long apache_accesses = before.number(kPerformanceEntry, 3, apache.port());
  ASSERT_GE(apache_accesses, 0);

  // All turn hostile at once. The next status refresh is due 10 seconds
  // after the first; the walk after that meets them.
  for (Monitored &m : servers_) {
    m.server->set(m.hostility);
  }
  std::this_thread::sleep_until(first_walk + std::chrono::seconds(11));
  const auto start = Clock::now();
  CommandResult second = daemon.bulkwalk(testsupport::kOstrikSubtree);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("[ figures  ] walk whose refresh met %zu hostile servers: %.1f s\n", servers_.size(),
              seconds);
  ASSERT_TRUE(daemon.process().running()) << daemon.log();
  ASSERT_EQ(second.exit_code, 0) << second.err;
  const OstrikWalk after = testsupport::parse_ostrik_walk(second.out);

  for (const Monitored &m : servers_) {
    const int port = m.server->port();
    const char *what = testsupport::hostility_name(m.hostility);
    EXPECT_EQ(m.server->requests("/server-status?auto"), 2) << what;
    expect_row(row_in(after, port), expected_after(m.hostility, m.facts), what);
    // The configuration rows answer what the last info refresh read (the
    // next one is 300 seconds away).
    for (int column = 1; column <= 25; ++column) {
      EXPECT_EQ(after.cell(kConfigEntry, column, port), before.cell(kConfigEntry, column, port))
          << what << " column " << column;
    }
  }
  // The real Apache is still read: the first walk's fetches raised its count.
  EXPECT_GT(after.number(kPerformanceEntry, 3, apache.port()), apache_accesses);
  EXPECT_EQ(after.text(kConfigEntry, 2, apache.port()).rfind("Apache/2.4", 0), 0u);
  EXPECT_NE(daemon.log().find("exceeds 16 MiB"), std::string::npos) << "the garbage was cut";

  // And it answers at once afterwards.
  CommandResult get =
      daemon.get({std::string(kPerformanceEntry) + ".1." + std::to_string(apache.port())});
  EXPECT_EQ(get.exit_code, 0) << get.err;
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

TEST_F(HostileDaemon, FreshDaemonMeetingOnlyHostilePagesServesEveryRow) {
  ApacheInstance apache(kUser, kPassword);
  for (Hostility h : kHostile) {
    monitor(h).server->set(h);
  }
  // The first info and status refreshes meet the hostile pages. The daemon
  // answers before they have ended: the real Apache's row fills in.
  Varnockd daemon(setup(apache));
  OstrikWalk got;
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  do {
    CommandResult walk = daemon.bulkwalk(testsupport::kOstrikSubtree);
    ASSERT_TRUE(daemon.process().running()) << daemon.log();
    ASSERT_EQ(walk.exit_code, 0) << walk.err;
    got = testsupport::parse_ostrik_walk(walk.out);
  } while (got.number(testsupport::kHealthEntry, 3, apache.port()) != PAGE_OK &&
           Clock::now() < deadline);

  const size_t rows = servers_.size() + 1;
  EXPECT_EQ(got.rows(kConfigEntry).size(), rows);
  EXPECT_EQ(got.rows(kPerformanceEntry).size(), rows);
  EXPECT_EQ(got.rows(testsupport::kFootprintEntry).size(), rows);
  EXPECT_EQ(got.text(kConfigEntry, 2, apache.port()).rfind("Apache/2.4", 0), 0u);
  // Its status page was read (fetched with the info page, it may count no
  // access yet).
  EXPECT_EQ(got.number(testsupport::kHealthEntry, 3, apache.port()), PAGE_OK);
  for (const Monitored &m : servers_) {
    const int port = m.server->port();
    const char *what = testsupport::hostility_name(m.hostility);
    const std::string version = got.text(kConfigEntry, 2, port);
    switch (m.hostility) {
    case Hostility::LongScoreboard: // its info page is good
    case Hostility::HugeNumbers:
      EXPECT_EQ(version, "Apache/2.4.62") << what;
      break;
    default: // no server-info page came: nothing is known
      EXPECT_EQ(version, "N/A") << what;
      break;
    }
  }
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

// A silent server holds no answer back: from the start and across a reload
// the agent, on its own and behind snmpd, answers within a tick of the
// first snapshot's three seconds of patience, and every second after,
// serving the healthy server's row whole and the silent one as not read,
// then as timed out once its time-out has passed.
TEST(HungServerAtStart, AnswersFromTheStartAndAcrossAReload) {
  constexpr int kTimeout = 8;
  constexpr int kTick = 2;
  constexpr int kFirstSnapshot = 3 + kTick; // well before the time-out
  ApacheInstance apache(kUser, kPassword);
  HostileServer silent;
  silent.set(Hostility::Silent);
  std::string cf;
  for (int port : {apache.port(), silent.port()})
    cf += "apache " + std::to_string(port) + " " + kUser + " " + kPassword + " 0\n";
  const std::string version = std::string(testsupport::kOstrikSubtree) + ".1.0";
  const std::string accesses =
      std::string(kPerformanceEntry) + ".3." + std::to_string(apache.port());
  const std::string outcome =
      std::string(testsupport::kHealthEntry) + ".3." + std::to_string(silent.port());

  setenv("OSTRIK_RECEIVE_TIMEOUT", std::to_string(kTimeout).c_str(), 1);
  testsupport::MasterSnmpd master;
  testsupport::TempDir sub_dir;
  testsupport::write_file(sub_dir.file("ostrik.cf"), cf);
  chmod(sub_dir.file("ostrik.cf").c_str(), 0600);
  const auto started = Clock::now();
  testsupport::Process subagent({VARNOCKD_PATH, "--config-dir", sub_dir.path(), "--module",
                                 OSTRIK_MODULE_PATH, "--tick", std::to_string(kTick),
                                 "--agentx=" + master.agentx_socket()},
                                sub_dir.file("varnockd"));
  VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf = cf;
  setup.tick_seconds = kTick;
  setup.start_timeout_seconds = kFirstSnapshot; // it answers by then, or this throws
  setup.wait_for_first_reads = false;
  Varnockd daemon(setup);
  unsetenv("OSTRIK_RECEIVE_TIMEOUT");

  // The three values from each agent: the scalar, the healthy server's
  // accesses and the silent server's status outcome; empty when a request
  // went unanswered.
  auto ask = [&](bool direct) -> std::vector<testsupport::Varbind> {
    CommandResult got =
        direct ? testsupport::run_command({"snmpget", "-v2c", "-c", "public", "-On", "-r", "0",
                                           "-t", "1", daemon.agent(), version, accesses, outcome})
               : master.tool("snmpget", {"-On", "-t", "1"}, {version, accesses, outcome});
    auto binds = testsupport::parse_varbinds(got.out);
    if (got.exit_code != 0 || binds.size() != 3 || got.out.find("No Such") != std::string::npos)
      return {};
    return binds;
  };
  // From `from` on: answered within kFirstSnapshot (at start with the silent
  // server not read yet), then every second until its time-out has passed;
  // then it has timed out, and the healthy row is whole.
  auto answers_through_the_time_out = [&](Clock::time_point from, const char *when, bool start) {
    for (bool direct : {true, false}) {
      std::vector<testsupport::Varbind> first;
      while ((first = ask(direct)).empty() &&
             Clock::now() < from + std::chrono::seconds(kFirstSnapshot))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ASSERT_EQ(first.size(), 3u) << when << (direct ? ", direct: " : ", master: ")
                                  << "no answer in time\n"
                                  << daemon.log() << subagent.err();
      EXPECT_NE(first[1].value.find("Counter32: "), std::string::npos) << when << first[1].value;
      if (start) {
        EXPECT_EQ(first[2].value, "INTEGER: 0") << "the silent server is not read yet";
      }
    }
    int asked = 0;
    for (auto next = Clock::now(); next < from + std::chrono::seconds(kTimeout + 1);
         next += std::chrono::seconds(1), ++asked) {
      std::this_thread::sleep_until(next);
      EXPECT_FALSE(ask(true).empty()) << when << ", direct, second " << asked;
      EXPECT_FALSE(ask(false).empty()) << when << ", master, second " << asked;
    }
    // Published at the tick after the time-out: its collection may have
    // begun a little after `from` on a busy machine, so the outcome is
    // awaited for a few ticks rather than read once.
    for (bool direct : {true, false}) {
      std::vector<testsupport::Varbind> last;
      const auto deadline = Clock::now() + std::chrono::seconds(4 * kTick);
      while (((last = ask(direct)).size() != 3 || last[2].value != "INTEGER: 3") &&
             Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
      ASSERT_EQ(last.size(), 3u) << when;
      EXPECT_EQ(last[2].value, "INTEGER: 3") << when << ": the silent server has timed out";
    }
    const OstrikWalk walk =
        testsupport::parse_ostrik_walk(daemon.bulkwalk(testsupport::kOstrikSubtree).out);
    EXPECT_EQ(walk.text(kConfigEntry, 2, apache.port()).rfind("Apache/2.4", 0), 0u) << when;
    EXPECT_EQ(walk.text(kConfigEntry, 2, silent.port()), "N/A") << when;
    EXPECT_EQ(walk.number(testsupport::kHealthEntry, 7, apache.port()), 1) << when;
    EXPECT_EQ(walk.rows(testsupport::kFootprintEntry).size(), 2u) << when;
  };
  answers_through_the_time_out(started, "at start", true);
  const auto reloaded = Clock::now();
  kill(daemon.process().pid(), SIGHUP);
  kill(subagent.pid(), SIGHUP);
  answers_through_the_time_out(reloaded, "after SIGHUP", false);
  EXPECT_EQ(subagent.stop(), 0) << subagent.err();
  EXPECT_EQ(testsupport::sanitizer_report(subagent.err()), "") << subagent.err();
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

} // namespace
