// Discovery end to end: varnockd with an ostrik.cf that holds only a
// discover line finds the running Apaches by themselves, finds one started
// later without a restart, and keeps the row of one that went away.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/apache.h"
#include "tests/support/ostrik_walk.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::ApacheInstance;
using testsupport::kFootprintEntry;
using testsupport::kHealthEntry;
using testsupport::kPerformanceEntry;
using testsupport::Mpm;
using testsupport::OstrikWalk;

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "found-secret";

// Walks until done(walk) holds or timeout_seconds have passed; the last walk.
OstrikWalk walk_until(testsupport::Varnockd &daemon, double timeout_seconds,
                      const std::function<bool(const OstrikWalk &)> &done) {
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
  OstrikWalk walk;
  for (;;) {
    walk = testsupport::parse_ostrik_walk(daemon.walk(testsupport::kOstrikSubtree).out);
    if (done(walk) || std::chrono::steady_clock::now() > until)
      return walk;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

TEST(Discovery, FindsRunningApachesAndOneStartedLater) {
  ApacheInstance prefork(kUser, kPassword);
  ApacheInstance event(kUser, kPassword,
                       "<Location /server-info>\n  SetHandler none\n</Location>\n", Mpm::Event);
  prefork.load(0.5);
  event.load(0.5);

  ASSERT_EQ(setenv("OSTRIK_DISCOVER_INTERVAL", "2", 1), 0);
  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf = std::string("discover ") + kUser + " " + kPassword + "\n";
  setup.tick_seconds = 1;
  testsupport::Varnockd daemon(setup);
  unsetenv("OSTRIK_DISCOVER_INTERVAL");

  // Other Apaches of this machine may be found too: only ours are looked at.
  const OstrikWalk first =
      testsupport::parse_ostrik_walk(daemon.walk(testsupport::kOstrikSubtree).out);
  for (const ApacheInstance *apache : {&prefork, &event}) {
    const int port = apache->port();
    SCOPED_TRACE(port);
    EXPECT_GT(first.number(kFootprintEntry, 2, port), 0) << "CPU time";
    EXPECT_GT(first.number(kFootprintEntry, 5, port), 0) << "resident memory";
    EXPECT_GE(first.number(kPerformanceEntry, 4, port), 1) << "busy workers";
  }

  ApacheInstance later(kUser, kPassword);
  const OstrikWalk found = walk_until(daemon, 20, [&](const OstrikWalk &walk) {
    return walk.number(kPerformanceEntry, 4, later.port()) >= 1;
  });
  EXPECT_GE(found.number(kPerformanceEntry, 4, later.port()), 1) << daemon.log();

  // Gone: the row stays, and the status page's last fetch failed to connect.
  const int gone = event.port();
  event.stop();
  const OstrikWalk after = walk_until(
      daemon, 25, [&](const OstrikWalk &walk) { return walk.number(kHealthEntry, 3, gone) == 2; });
  EXPECT_EQ(after.number(kHealthEntry, 3, gone), 2);
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

} // namespace
