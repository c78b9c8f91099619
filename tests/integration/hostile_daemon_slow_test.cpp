// varnockd with the ostrik module against a server that accepts and never
// answers and one that trickles its answer a byte a second, beside real
// Apache servers.
// - With --serve live and the full 60-second receive time-out, the agent
//   answers nothing while a refresh waits on them (the module fetches inside
//   the request); the refresh waits on both together, so the wait ends after
//   one time-out, the daemon answers again afterwards, and the hostile servers keep their last good
//   values while the real Apache is read.
// - Serving snapshots (the default), with ten servers of which two hang, the
//   daemon and snmpd in front of it as AgentX master answer every request
//   with a one-second time-out for two minutes, and the healthy rows stay
//   close behind their pages.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/apache.h"
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
using testsupport::kPerformanceEntry;
using testsupport::OstrikWalk;
using testsupport::Varnockd;
using testsupport::VarnockdSetup;
using Clock = std::chrono::steady_clock;

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "slow-secret";
constexpr double kReceiveTimeout = 60.0;

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

TEST(HostileDaemonSlow, SilentAndTricklingServersHoldALiveAgentOneTimeOutTogether) {
  ApacheInstance apache(kUser, kPassword);
  testsupport::TempDir dir;
  ApacheFacts silent_facts;
  silent_facts.server_root = dir.path() + "/silent";
  silent_facts.total_accesses = 4242;
  silent_facts.uptime = 777;
  ApacheFacts trickle_facts;
  trickle_facts.server_root = dir.path() + "/trickle";
  trickle_facts.total_accesses = 5151;
  trickle_facts.uptime = 888;
  HostileServer silent(silent_facts);
  HostileServer trickle(trickle_facts);

  VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  for (int port : {apache.port(), silent.port(), trickle.port()}) {
    setup.ostrik_cf += "apache " + std::to_string(port) + " " + kUser + " " + kPassword + " 0\n";
  }
  setup.extra_args = {"--serve", "live"};
  Varnockd daemon(setup);

  CommandResult first = daemon.bulkwalk(testsupport::kOstrikSubtree);
  const auto first_walk = Clock::now();
  ASSERT_EQ(first.exit_code, 0) << first.err;
  const OstrikWalk before = testsupport::parse_ostrik_walk(first.out);
  EXPECT_EQ(before.number(kPerformanceEntry, 3, silent.port()), 4242);
  EXPECT_EQ(before.number(kPerformanceEntry, 3, trickle.port()), 5151);
  const long long apache_accesses = before.number(kPerformanceEntry, 3, apache.port());
  ASSERT_GE(apache_accesses, 0);

  silent.set(Hostility::Silent);
  trickle.set(Hostility::Trickle);
  std::this_thread::sleep_until(first_walk + std::chrono::seconds(11));

  // This get starts the status refresh, which waits on both servers at
  // once; the tool gives up long before the refresh ends.
  const auto refresh_start = Clock::now();
  const std::string uptime_oid =
      std::string(kPerformanceEntry) + ".2." + std::to_string(apache.port());
  CommandResult blocked = daemon.get({uptime_oid});
  EXPECT_NE(blocked.exit_code, 0) << "the agent answered during the refresh: " << blocked.out;

  // Poll until it answers again; it must, within one time-out and a margin.
  CommandResult again;
  while (seconds_since(refresh_start) < 2 * kReceiveTimeout + 30) {
    ASSERT_TRUE(daemon.process().running()) << daemon.log();
    again = testsupport::run_command({"snmpget", "-v2c", "-c", "public", "-On", "-r", "0", "-t",
                                      "1", daemon.agent(), uptime_oid},
                                     10.0);
    if (again.exit_code == 0) {
      break;
    }
  }
  const double held = seconds_since(refresh_start);
  std::printf("[ figures  ] a silent and a trickling server held the agent %.1f s "
              "(receive time-out %.0f s)\n",
              held, kReceiveTimeout);
  ASSERT_EQ(again.exit_code, 0) << "no answer " << held << " s after the refresh began";
  EXPECT_GE(held, kReceiveTimeout - 2);
  EXPECT_LT(held, kReceiveTimeout + 15) << "the refresh waited on the servers one by one";

  // The agent answers promptly now, and the values are as they were, but
  // for the real Apache's, which were read afresh.
  const auto walk_start = Clock::now();
  CommandResult second = daemon.bulkwalk(testsupport::kOstrikSubtree);
  EXPECT_LT(seconds_since(walk_start), 10.0);
  ASSERT_EQ(second.exit_code, 0) << second.err;
  const OstrikWalk after = testsupport::parse_ostrik_walk(second.out);
  for (int column = 1; column <= 15; ++column) {
    EXPECT_EQ(after.cell(kPerformanceEntry, column, silent.port()),
              before.cell(kPerformanceEntry, column, silent.port()))
        << "silent, column " << column;
    EXPECT_EQ(after.cell(kPerformanceEntry, column, trickle.port()),
              before.cell(kPerformanceEntry, column, trickle.port()))
        << "trickle, column " << column;
  }
  EXPECT_GT(after.number(kPerformanceEntry, 3, apache.port()), apache_accesses);
  EXPECT_NE(daemon.log().find("took over 60 seconds"), std::string::npos)
      << "the trickling answer was cut off";
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

// The receive time-out of the module for the snapshot test, set through the
// environment the daemons inherit, and the daemon's default tick.
constexpr char kReceiveTimeoutVariable[] = "OSTRIK_RECEIVE_TIMEOUT";
constexpr int kShortReceiveTimeout = 10;
constexpr int kTickSeconds = 5;
constexpr int kLoadSeconds = 120;

// One request with a one-second time-out and no retry, as a monitoring
// system with little patience sends it.
CommandResult impatient(const std::string &tool, const std::string &agent,
                        const std::vector<std::string> &args) {
  std::vector<std::string> argv = {tool, "-v2c", "-c", "public", "-On",
                                   "-r", "0",    "-t", "1",      agent};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::run_command(argv, 30.0);
}

// The "Total Accesses" of a status page; -1 when the page has none.
long long total_accesses(const std::string &page) {
  const std::string label = "Total Accesses: ";
  const size_t at = page.find(label);
  return at == std::string::npos ? -1 : std::atoll(page.c_str() + at + label.size());
}

// What a client saw: requests, the ones not answered, and per healthy port
// the times and values of apacheServerPerfTotalAccesses.
struct ClientRecord {
  int requests = 0;
  std::vector<std::string> unanswered;
  std::map<int, std::vector<std::pair<Clock::time_point, long long>>> accesses;
};

// Sends gets and bulk walks to agent until the deadline, each a second's
// patience, and records the performance rows of the healthy ports.
ClientRecord ask_until(const std::string &agent, Clock::time_point deadline,
                       const std::vector<int> &healthy) {
  ClientRecord record;
  const std::string version = std::string(testsupport::kOstrikSubtree) + ".1.0";
  while (Clock::now() < deadline) {
    const std::string one = std::string(kPerformanceEntry) + ".3." +
                            std::to_string(healthy[record.requests % healthy.size()]);
    CommandResult get = impatient("snmpget", agent, {version, one});
    ++record.requests;
    if (get.exit_code != 0 || get.out.find("No Such") != std::string::npos)
      record.unanswered.push_back("get: " + get.out + get.err);
    const auto asked = Clock::now();
    CommandResult walk = impatient("snmpbulkwalk", agent, {testsupport::kOstrikSubtree});
    ++record.requests;
    const OstrikWalk rows = testsupport::parse_ostrik_walk(walk.out);
    if (walk.exit_code != 0 || rows.values.size() < 100) {
      record.unanswered.push_back("bulk walk: " + walk.err);
      continue;
    }
    for (int port : healthy)
      record.accesses[port].emplace_back(asked, rows.number(kPerformanceEntry, 3, port));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return record;
}

TEST(HostileDaemonSlow, TwoHungServersOfTenDelayNoAnswerForTwoMinutes) {
  // How far a row may lag its page: a status refresh reads the healthy
  // pages as it begins and publishes them at once, while it waits out the
  // hung ones for a receive time-out; the next one begins when the module's
  // 10-second gate (two ticks) has passed since then. So a page's value
  // shows within one receive time-out, two ticks and a second of sampling.
  setenv(kReceiveTimeoutVariable, std::to_string(kShortReceiveTimeout).c_str(), 1);
  const auto behind = std::chrono::seconds(kShortReceiveTimeout + 2 * kTickSeconds + 1);

  // Eight ports of two real Apache servers, four each.
  std::vector<std::pair<int, int>> extra_ports; // port, server
  std::string listen[2];
  for (int i = 0; i < 6; ++i) {
    const int port = testsupport::free_tcp_port();
    extra_ports.emplace_back(port, i % 2);
    listen[i % 2] += "Listen 127.0.0.1:" + std::to_string(port) + "\n";
  }
  ApacheInstance first(kUser, kPassword, listen[0]);
  ApacheInstance second(kUser, kPassword, listen[1]);
  const ApacheInstance *servers[2] = {&first, &second};
  std::map<int, int> server_of = {{first.port(), 0}, {second.port(), 1}};
  for (const auto &[port, server] : extra_ports)
    server_of[port] = server;
  std::vector<int> healthy;
  for (const auto &[port, server] : server_of)
    healthy.push_back(port);

  testsupport::TempDir dir;
  ApacheFacts silent_facts;
  silent_facts.server_root = dir.path() + "/silent";
  ApacheFacts trickle_facts;
  trickle_facts.server_root = dir.path() + "/trickle";
  HostileServer silent(silent_facts);
  HostileServer trickle(trickle_facts);
  silent.set(Hostility::Silent);
  trickle.set(Hostility::Trickle);

  std::string ostrik_cf;
  for (int port : healthy)
    ostrik_cf += "apache " + std::to_string(port) + " " + kUser + " " + kPassword + " 0\n";
  for (int port : {silent.port(), trickle.port()})
    ostrik_cf += "apache " + std::to_string(port) + " " + kUser + " " + kPassword + " 0\n";

  // The daemon on a port of its own, and a second one behind snmpd.
  VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf = ostrik_cf;
  setup.start_timeout_seconds = 6.0 * kShortReceiveTimeout + 30;
  Varnockd daemon(setup);

  testsupport::MasterSnmpd master;
  testsupport::TempDir subagent_dir;
  testsupport::write_file(subagent_dir.file("ostrik.cf"), ostrik_cf);
  chmod(subagent_dir.file("ostrik.cf").c_str(), 0600);
  testsupport::Process subagent({VARNOCKD_PATH, "--config-dir", subagent_dir.path(), "--module",
                                 OSTRIK_MODULE_PATH, "--agentx=" + master.agentx_socket()},
                                subagent_dir.file("varnockd"));
  const std::string version = std::string(testsupport::kOstrikSubtree) + ".1.0";
  const auto register_deadline = Clock::now() + std::chrono::seconds(6 * kShortReceiveTimeout + 30);
  while (master.tool("snmpget", {"-On"}, {version}).out.find("STRING") == std::string::npos) {
    ASSERT_TRUE(subagent.running()) << subagent.err();
    ASSERT_LT(Clock::now(), register_deadline)
        << "the sub-agent never registered: " << subagent.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }

  // A steady load on every port, and each server's page sampled meanwhile.
  std::atomic<bool> done{false};
  std::mutex pages_mutex;
  std::vector<std::pair<Clock::time_point, long long>> pages[2];
  std::thread load([&] {
    for (size_t n = 0; !done; ++n) {
      testsupport::http_get(healthy[n % healthy.size()], "/", "", "", 5.0);
      if (n % 8 == 0) {
        for (int s = 0; s < 2; ++s) {
          const auto when = Clock::now();
          const long long total = total_accesses(
              testsupport::http_get(servers[s]->port(), "/server-status?auto", kUser, kPassword));
          std::lock_guard<std::mutex> lock(pages_mutex);
          if (total >= 0)
            pages[s].emplace_back(when, total);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });

  const auto deadline = Clock::now() + std::chrono::seconds(kLoadSeconds);
  ClientRecord through_master;
  std::thread master_client([&] { through_master = ask_until(master.agent(), deadline, healthy); });
  const ClientRecord direct = ask_until(daemon.agent(), deadline, healthy);
  master_client.join();
  done = true;
  load.join();

  std::printf("[ figures  ] %d requests to varnockd, %d through snmpd, each with a 1 s time-out\n",
              direct.requests, through_master.requests);
  for (const ClientRecord *record : {&direct, const_cast<const ClientRecord *>(&through_master)}) {
    const char *who = record == &direct ? "varnockd" : "snmpd";
    EXPECT_GE(record->requests, 40) << who;
    EXPECT_TRUE(record->unanswered.empty())
        << who << ": " << record->unanswered.size()
        << " requests not answered, the first: " << record->unanswered.front();
    for (int port : healthy) {
      const auto &seen = record->accesses.at(port);
      ASSERT_GE(seen.size(), 2u) << who << " port " << port;
      EXPECT_GT(seen.back().second, seen.front().second) << who << " port " << port;
    }
  }
  // Each row of the daemon's answers, against the page as it was the lag
  // above before the question.
  double worst = 0;
  for (int port : healthy) {
    const auto &page = pages[server_of[port]];
    for (const auto &[asked, value] : direct.accesses.at(port)) {
      long long floor = -1;
      bool passed = false; // the page had gone past the value before the question
      for (const auto &[when, total] : page) {
        if (when <= asked - behind)
          floor = total;
        if (!passed && total > value && when <= asked) {
          passed = true;
          worst = std::max(worst, std::chrono::duration<double>(asked - when).count());
        }
      }
      EXPECT_GE(value, floor) << "port " << port << " answered " << value << " at "
                              << std::chrono::duration<double>(deadline - asked).count()
                              << " s before the end; its page had " << floor;
    }
  }
  std::printf("[ figures  ] rows at most %.1f s behind their pages (bound %lld s)\n", worst,
              static_cast<long long>(behind.count()));
  EXPECT_EQ(subagent.err().find("AgentX master lost"), std::string::npos) << subagent.err();
  EXPECT_EQ(subagent.stop(), 0) << subagent.err();
  EXPECT_EQ(testsupport::sanitizer_report(subagent.err()), "") << subagent.err();
  // SIGTERM while a collection waits on the silent server: the daemon stops
  // at once all the same (it waits at most 2 s for the collection).
  const int asked = silent.requests("/server-status");
  const auto wait_limit =
      Clock::now() + std::chrono::seconds(kShortReceiveTimeout + 4 * kTickSeconds);
  while (silent.requests("/server-status") == asked && Clock::now() < wait_limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GT(silent.requests("/server-status"), asked);
  const auto stopping = Clock::now();
  EXPECT_EQ(daemon.stop(SIGTERM, 5.0), 0) << daemon.log();
  std::printf("[ figures  ] stopped in %.1f s during a collection that waited on a hung server\n",
              seconds_since(stopping));
  EXPECT_NE(daemon.log().find("leaving without finishing the modules"), std::string::npos)
      << daemon.log();
  unsetenv(kReceiveTimeoutVariable);
}

// A collection that runs past three ticks is reported once, with the time
// its answers come from, and again once it has ended.
TEST(HostileDaemonSlow, LateCollectionIsLoggedOnceAndItsEnd) {
  setenv(kReceiveTimeoutVariable, "5", 1);
  HostileServer silent;
  silent.set(Hostility::Silent);
  VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf = "apache " + std::to_string(silent.port()) + " u p 0\n";
  setup.tick_seconds = 1;
  setup.start_timeout_seconds = 60;
  Varnockd daemon(setup);
  unsetenv(kReceiveTimeoutVariable);
  const auto deadline = Clock::now() + std::chrono::seconds(40);
  while (daemon.log().find("back on time") == std::string::npos && Clock::now() < deadline) {
    EXPECT_EQ(daemon.get({std::string(testsupport::kOstrikSubtree) + ".1.0"}).exit_code, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  const std::string log = daemon.log();
  const size_t late = log.find("varnockd: collection running for ");
  ASSERT_NE(late, std::string::npos) << log;
  EXPECT_NE(log.find(" s; answers are from ", late), std::string::npos) << log;
  EXPECT_EQ(log.find("varnockd: collection running for ", late + 1), std::string::npos) << log;
  EXPECT_NE(log.find("varnockd: collections are back on time", late), std::string::npos) << log;
  EXPECT_EQ(daemon.stop(SIGTERM, 5.0), 0) << log;
}

} // namespace
