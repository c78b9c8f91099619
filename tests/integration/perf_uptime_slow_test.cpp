// The performance table's uptime once Apache 2.4 has run for over a minute:
// its status page then shows "ServerUptime: 1 minute N seconds" above the
// line "Uptime: M", and the table must answer M, not the 1.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "tests/support/apache.h"
#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "uptime-secret";
const std::string kUptimeColumn = ".1.3.6.1.4.1.32473.16.3.11.2.1.2.";

// The number on the page's line that starts with label, or -1.
long page_number(const std::string &page, const std::string &label) {
  std::smatch m;
  if (std::regex_search(page, m, std::regex("(^|\n)" + label + ": (\\d+)"))) {
    return std::stol(m[2]);
  }
  return -1;
}

TEST(PerfUptime, AnswersTheUptimeLineNotServerUptime) {
  testsupport::ApacheInstance apache(kUser, kPassword);
  std::string page;
  for (int waited = 0; waited < 90; ++waited) {
    page = apache.get("/server-status?auto", kUser, kPassword);
    if (page_number(page, "Uptime") >= 65) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  const long page_uptime = page_number(page, "Uptime");
  ASSERT_GE(page_uptime, 65) << page;
  ASSERT_NE(page.find("\nServerUptime: 1 minute"), std::string::npos) << page;

  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf =
      "apache " + std::to_string(apache.port()) + " " + kUser + " " + kPassword + " 0\n";
  testsupport::Varnockd daemon(setup);

  const std::string oid = kUptimeColumn + std::to_string(apache.port());
  testsupport::CommandResult r = daemon.get({oid});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto got = testsupport::parse_varbinds(r.out);
  ASSERT_EQ(got.size(), 1u) << r.out;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(got[0].value, m, std::regex("Counter32: (\\d+)"))) << r.out;
  const long answered = std::stol(m[1]);
  const long after = page_number(apache.get("/server-status?auto", kUser, kPassword), "Uptime");
  EXPECT_GE(answered, page_uptime);
  EXPECT_LE(answered, after);
  EXPECT_LE(after - answered, 10);
}

} // namespace
