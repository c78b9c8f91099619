// Discovery end to end: varnockd with an ostrik.cf that holds only a
// discover line finds the running Apaches by themselves, where they listen
// (127.0.0.2 only, [::1] only, TLS only with a certificate of a CA made
// here), finds one started later without a restart, and keeps the row of
// one that went away.
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
  testsupport::TempDir pki;
  testsupport::make_test_certificates(pki.path());
  ApacheInstance prefork(kUser, kPassword, "", Mpm::Prefork, "127.0.0.2");
  ApacheInstance event(kUser, kPassword,
                       "<Location /server-info>\n  SetHandler none\n</Location>\n", Mpm::Event,
                       "::1");
  // Its certificate names 127.0.0.1, not its second place, 127.0.0.2.
  const int unnamed_port = testsupport::free_tcp_port();
  ApacheInstance tls(kUser, kPassword,
                     testsupport::tls_only_conf(
                         pki.path(), "Listen 127.0.0.2:" + std::to_string(unnamed_port) + "\n"));
  for (const ApacheInstance *apache : {&prefork, &event, &tls}) {
    apache->load(0.5);
  }
  // Started later: its port is known now, so that ports= can name it.
  ApacheInstance later(kUser, kPassword);
  later.stop();

  ASSERT_EQ(setenv("OSTRIK_DISCOVER_INTERVAL", "2", 1), 0);
  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.debug = true; // the places watched are logged as notices
  // Only the test's own servers are looked at (ports=): an Apache of this
  // machine beside them is never sent the credentials.
  std::string ports;
  for (const int port : {prefork.port(), event.port(), tls.port(), unnamed_port, later.port()}) {
    ports += (ports.empty() ? "" : ",") + std::to_string(port);
  }
  setup.ostrik_cf = std::string("discover ") + kUser + " " + kPassword +
                    " timeout=10 ca=" + pki.file("ca.pem") + " ports=" + ports + "\n";
  setup.tick_seconds = 1;
  testsupport::Varnockd daemon(setup);
  unsetenv("OSTRIK_DISCOVER_INTERVAL");

  const OstrikWalk first =
      testsupport::parse_ostrik_walk(daemon.walk(testsupport::kOstrikSubtree).out);
  for (const ApacheInstance *apache : {&prefork, &event, &tls}) {
    const int port = apache->port();
    SCOPED_TRACE(port);
    EXPECT_GT(first.number(kFootprintEntry, 2, port), 0) << "CPU time";
    EXPECT_GT(first.number(kFootprintEntry, 5, port), 0) << "resident memory";
    EXPECT_GE(first.number(kPerformanceEntry, 4, port), 1) << "busy workers";
  }
  const std::string log = daemon.log();
  for (const std::string &place : {"http://127.0.0.2:" + std::to_string(prefork.port()),
                                   "http://[::1]:" + std::to_string(event.port()),
                                   "https://127.0.0.1:" + std::to_string(tls.port())}) {
    EXPECT_NE(log.find(" watched at " + place + "\n"), std::string::npos) << place << "\n" << log;
  }
  EXPECT_NE(log.find("certificate of 127.0.0.2 port " + std::to_string(unnamed_port) +
                     " refused: the certificate names neither 127.0.0.2 nor "),
            std::string::npos);
  EXPECT_EQ(first.number(kPerformanceEntry, 4, unnamed_port), -1) << "no row of its own";

  ASSERT_TRUE(later.start());
  const OstrikWalk found = walk_until(daemon, 30, [&](const OstrikWalk &walk) {
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
