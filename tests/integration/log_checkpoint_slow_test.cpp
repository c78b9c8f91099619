// Counting each access-log line exactly once across everything that stops
// or restarts the agent: a reload (SIGHUP) with lines unread, a restart with
// lines written while it is down, and a SIGKILL while a backlog is being
// read. Every counter must end equal to what was written, and no Counter64
// may ever be seen going back.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/ostrik_walk.h"
#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::TempDir;
using testsupport::Varnockd;
using testsupport::VarnockdSetup;
using Clock = std::chrono::steady_clock;

const std::string kLogEntry = std::string(testsupport::kOstrikSubtree) + ".14.1";

class LogCheckpoint : public ::testing::Test {
protected:
  TempDir logs; // root's, mode 0700: the follower trusts it
  TempDir state;
  const std::string log = logs.file("access.log");
  const int port = testsupport::free_tcp_port(); // nothing answers there
  std::unique_ptr<Varnockd> daemon;
  long long written = 0, bytes = 0;
  long long seen = 0; // the highest line count read so far
  std::string since;

  void start() {
    VarnockdSetup setup;
    setup.daemon = VARNOCKD_PATH;
    setup.modules = {OSTRIK_MODULE_PATH};
    setup.tick_seconds = 1;
    setup.extra_args = {"--state-dir", state.path()};
    setup.ostrik_cf = "server http://127.0.0.1:" + std::to_string(port) + " u p 0 log=" + log +
                      " logformat=common\n";
    daemon = std::make_unique<Varnockd>(setup);
  }
  void write(int lines) {
    std::ofstream out(log, std::ios::app | std::ios::binary);
    for (int i = 0; i < lines; ++i, ++written) {
      const long long size = 100 + written % 900;
      out << "127.0.0.1 - - [10/Oct/2026:13:55:36 +0000] \"GET /page/" << written
          << " HTTP/1.1\" 200 " << size << "\n";
      bytes += size;
    }
  }
  std::string column(int c) {
    testsupport::CommandResult r =
        daemon->get({kLogEntry + "." + std::to_string(c) + "." + std::to_string(port)});
    const size_t at = r.out.find(": ");
    return at == std::string::npos ? "" : r.out.substr(at + 2, r.out.find('\n') - at - 2);
  }
  // Polls the line count, which must never go back, until it is want.
  void expect_lines(long long want, double seconds = 40) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    long long now = -1;
    while (Clock::now() < deadline) {
      const std::string text = column(6);
      if (!text.empty()) {
        now = std::stoll(text);
        EXPECT_GE(now, seen) << "apacheLogLines went back";
        seen = std::max(seen, now);
        if (now == want) {
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_EQ(now, want) << daemon->log();
    EXPECT_EQ(column(7), "0");                     // none unparsed
    EXPECT_EQ(column(9), std::to_string(written)); // every line a 2xx
    EXPECT_EQ(column(13), std::to_string(bytes));  // and its bytes
    const std::string began = column(27);
    EXPECT_FALSE(began.empty());
    if (since.empty()) {
      since = began;
    }
    EXPECT_EQ(began, since) << "the counts' beginning moved: a discontinuity was claimed";
  }
};

TEST_F(LogCheckpoint, EveryLineCountsOnceAcrossReloadRestartAndKill) {
  write(0); // the log exists, empty, before the agent first looks
  start();
  expect_lines(0);
  write(40);
  ASSERT_EQ(::kill(daemon->process().pid(), SIGHUP), 0); // 40 lines unread
  expect_lines(40);
  write(30);
  EXPECT_EQ(daemon->stop(SIGTERM), 0); // 30 unread at the stop
  write(25);                           // written while it is down
  start();
  expect_lines(95);

  // A backlog larger than one refresh reads (16 MiB), killed while it is
  // read and lines are still written.
  write(400000);
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline && column(4).find("catching up") == std::string::npos &&
         column(5) == "0") {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  write(500);
  daemon->stop(SIGKILL);
  write(20);
  start();
  expect_lines(written, 90);
}

} // namespace
