// varnockd with the ostrik module against a server that accepts and never
// answers and one that trickles its answer a byte a second, with the full
// 60-second receive time-out, beside a real Apache. The agent answers
// nothing while a refresh waits on them (the module fetches on the agent's
// thread); the test shows that the wait ends after one time-out for both
// servers together (their requests go out at once), that the daemon answers
// again afterwards, and that the hostile servers
// keep their last good values while the real Apache is read.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/apache.h"
#include "tests/support/hostile_server.h"
#include "tests/support/ostrik_walk.h"
#include "tests/support/process.h"
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

TEST(HostileDaemonSlow, SilentAndTricklingServersHoldTheAgentOneTimeOutTogether) {
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

  // This get starts the status refresh, which waits on both servers; the
  // tool gives up long before the refresh ends.
  const auto refresh_start = Clock::now();
  const std::string uptime_oid =
      std::string(kPerformanceEntry) + ".2." + std::to_string(apache.port());
  CommandResult blocked = daemon.get({uptime_oid});
  EXPECT_NE(blocked.exit_code, 0) << "the agent answered during the refresh: " << blocked.out;

  // Poll until it answers again; it must, within one time-out and a margin
  // (one after the other, the two servers held it for two).
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
              "(receive time-out %.0f s, awaited together)\n",
              held, kReceiveTimeout);
  ASSERT_EQ(again.exit_code, 0) << "no answer " << held << " s after the refresh began";
  EXPECT_GE(held, kReceiveTimeout - 2);
  EXPECT_LT(held, kReceiveTimeout + 15) << "one time-out for both servers, not one each";

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

} // namespace
