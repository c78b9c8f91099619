// A bounded soak: thousands of snmpbulkwalks of the whole ostrik subtree
// against varnockd (ticking every second) while it watches two real Apache
// servers, one restarted gracefully now and then, the other stopped and
// started again on its port. Every walk must succeed with every row; the
// daemon's resident memory at the end must stay within a small bound of
// what it was after the warm-up.
//
// Bounds: at most kMaxWalks walks and kMaxSeconds seconds, whichever comes
// first, but never fewer than the schedule of restarts needs.
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/apache.h"
#include "tests/support/build_kind.h"
#include "tests/support/ostrik_walk.h"
#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::ApacheInstance;
using testsupport::CommandResult;
using testsupport::kPerformanceEntry;
using testsupport::OstrikWalk;
using testsupport::Varnockd;
using testsupport::VarnockdSetup;
using Clock = std::chrono::steady_clock;

constexpr char kUser[] = "soak";
constexpr char kPassword[] = "soak-secret";
constexpr int kWarmupWalks = 30;
constexpr int kMaxWalks = 3000;
constexpr double kMaxSeconds = 240.0;
// The resident memory may end at most this much above its size after the
// warm-up. Every refresh frees its page buffers and the snapshots are
// resized to the process count, so a steady daemon's memory stays where the
// warm-up left it, give or take what the allocator keeps in its free lists.
// A leak of 200 bytes per walk would pass this bound within 3000 walks.
// The sanitizer build keeps freed blocks resident in its quarantine, and
// each collection frees the previous snapshot: there LeakSanitizer, not the
// resident size, tells a leak.
constexpr long kRssBoundKb = testsupport::kSanitizedBuild ? 16384 : 600;

long vm_kb(pid_t pid, const std::string &field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      return std::stol(line.substr(field.size() + 1));
    }
  }
  return -1;
}

// The values of a walk less the CPU load column, which Apache's status page
// shows only once a server has used measurable CPU time: it comes and goes
// with a lightly used server.
size_t steady_values(const OstrikWalk &walk) {
  const std::string cpu_load = std::string(testsupport::kPerfExtEntry) + ".6.";
  size_t count = 0;
  for (const auto &[oid, value] : walk.values)
    count += oid.rfind(cpu_load, 0) == 0 ? 0 : 1;
  return count;
}

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// What happens to the two servers, and when (seconds after the warm-up).
struct Event {
  double at;
  const char *what;
};
const std::vector<Event> kSchedule = {
    {5, "graceful A"}, {12, "stop B"},  {22, "start B"},    {32, "graceful A"},
    {40, "stop B"},    {50, "start B"}, {58, "graceful A"},
};

TEST(Soak, ThousandsOfWalksWhileTheServersRestartKeepMemoryFlat) {
  ApacheInstance a(kUser, kPassword);
  ApacheInstance b(kUser, kPassword);
  VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.tick_seconds = 1;
  for (int port : {a.port(), b.port()}) {
    setup.ostrik_cf += "apache " + std::to_string(port) + " " + kUser + " " + kPassword + " 60\n";
  }
  Varnockd daemon(setup);
  const pid_t pid = daemon.process().pid();

  // Warm-up: every refresh has run at least once, the footprint refresh
  // (every 20 s) included, before memory is measured.
  size_t varbinds = 0;
  const auto warm_start = Clock::now();
  for (int i = 0; i < kWarmupWalks || seconds_since(warm_start) < 21; ++i) {
    CommandResult r = daemon.bulkwalk(testsupport::kOstrikSubtree);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const OstrikWalk walk = testsupport::parse_ostrik_walk(r.out);
    ASSERT_EQ(walk.rows(kPerformanceEntry).size(), 2u) << r.out;
    varbinds = steady_values(walk);
  }
  const long rss_start = vm_kb(pid, "VmRSS");
  ASSERT_GT(rss_start, 0);

  // The restarts run on their own thread, between and during walks.
  std::atomic<bool> done{false};
  std::mutex mutex;
  std::vector<std::string> failures;
  std::atomic<size_t> events_done{0};
  Clock::time_point b_started = Clock::now();
  const auto start = Clock::now();
  std::thread restarts([&] {
    for (const Event &e : kSchedule) {
      while (!done && seconds_since(start) < e.at) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (done) {
        return;
      }
      const std::string what = e.what;
      bool ok = true;
      if (what == "graceful A") {
        ok = a.graceful();
      } else if (what == "stop B") {
        b.stop();
      } else {
        ok = b.start();
        std::lock_guard<std::mutex> lock(mutex);
        b_started = Clock::now();
      }
      if (!ok) {
        std::lock_guard<std::mutex> lock(mutex);
        failures.push_back(what + " failed at " + std::to_string(seconds_since(start)) + " s");
      }
      ++events_done;
    }
  });

  int walks = 0;
  int failed_walks = 0;
  std::string first_failure;
  while (seconds_since(start) < kMaxSeconds &&
         (walks < kMaxWalks || events_done < kSchedule.size())) {
    CommandResult r = daemon.bulkwalk(testsupport::kOstrikSubtree);
    ++walks;
    const OstrikWalk walk = testsupport::parse_ostrik_walk(r.out);
    if (r.exit_code != 0 || steady_values(walk) != varbinds || !r.err.empty()) {
      ++failed_walks;
      if (first_failure.empty()) {
        first_failure = "walk " + std::to_string(walks) + " at " +
                        std::to_string(seconds_since(start)) + " s: exit " +
                        std::to_string(r.exit_code) + ", " + std::to_string(steady_values(walk)) +
                        " of " + std::to_string(varbinds) + " values: " + r.err;
      }
    }
    if (!daemon.process().running()) {
      break;
    }
  }
  const double seconds = seconds_since(start);
  done = true;
  restarts.join();
  ASSERT_TRUE(daemon.process().running()) << daemon.log();

  // One more walk after B's last start and a status refresh: B is read
  // again, its uptime counted from its new start.
  std::this_thread::sleep_for(std::chrono::seconds(11));
  CommandResult last = daemon.bulkwalk(testsupport::kOstrikSubtree);
  ASSERT_EQ(last.exit_code, 0) << last.err;
  const OstrikWalk final_walk = testsupport::parse_ostrik_walk(last.out);
  double since_b_started;
  {
    std::lock_guard<std::mutex> lock(mutex);
    since_b_started = seconds_since(b_started);
  }
  EXPECT_LE(final_walk.number(kPerformanceEntry, 2, b.port()), since_b_started + 2)
      << "B's uptime is read from the restarted server";

  const long rss_end = vm_kb(pid, "VmRSS");
  const long rss_peak = vm_kb(pid, "VmHWM");
  std::printf("[ figures  ] soak: %d walks in %.0f s (%.1f walks/s), %zu values each, "
              "%zu of %zu restarts; daemon VmRSS %ld kB after warm-up, %ld kB at the end "
              "(%+ld kB), VmHWM %ld kB\n",
              walks, seconds, walks / seconds, varbinds, events_done.load(), kSchedule.size(),
              rss_start, rss_end, rss_end - rss_start, rss_peak);

  EXPECT_EQ(failed_walks, 0) << first_failure;
  EXPECT_TRUE(failures.empty()) << failures.front();
  EXPECT_EQ(events_done.load(), kSchedule.size());
  EXPECT_GE(walks, 1000) << "too few walks to say anything about memory";
  EXPECT_LE(rss_end, rss_start + kRssBoundKb)
      << "resident memory grew from " << rss_start << " kB to " << rss_end << " kB";
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

// Hundreds of reloads with the sample's monitors: the resident memory stays
// where the first reloads left it (Net-SNMP's event MIB keeps whatever it
// made from a reading of varnockd.conf).
TEST(Soak, HundredsOfReloadsWithTheSampleMonitorsKeepMemoryFlat) {
  VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.tick_seconds = 1;
  setup.ostrik_cf = "apache 1 soak soak-secret 0\n"; // a port nothing listens on
  setup.varnockd_conf =
      testsupport::read_file(std::string(OSTRIK_SOURCE_DIR) + "/packaging/varnockd.conf");
  setup.varnockd_conf.replace(setup.varnockd_conf.find("agentaddress"), 0, "#");
  Varnockd daemon(setup);
  const pid_t pid = daemon.process().pid();
  const auto reload = [&](int times) {
    for (int i = 0; i < times; ++i) {
      ASSERT_EQ(kill(pid, SIGHUP), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ASSERT_EQ(daemon.get({std::string(testsupport::kOstrikSubtree) + ".1.0"}).exit_code, 0);
  };
  reload(30);
  const long rss_start = vm_kb(pid, "VmRSS");
  reload(400);
  const long rss_end = vm_kb(pid, "VmRSS");
  std::printf("daemon VmRSS %ld kB after 30 reloads, %ld kB after 430\n", rss_start, rss_end);
  // 16 KB a reload would be 6400 kB.
  EXPECT_LE(rss_end, rss_start + kRssBoundKb);
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

} // namespace
