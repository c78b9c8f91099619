// fetch_page against a real Apache with mod_status behind Basic
// authentication, on a loopback port.
#include "collect/pages/fetch_page.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "tests/support/apache.h"
#include "tests/support/fake_varnock.h"

namespace {

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "s3cret pass";

class ApacheFetch : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    apache_ = std::make_unique<testsupport::ApacheInstance>(kUser, kPassword);
  }
  static void TearDownTestSuite() { apache_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(apache_) << "Apache did not start";
    fake_varnock::reset();
    fetch_page_set_receive_timeout(0);
  }
  void TearDown() override { std::free(page_); }

  int fetch(const std::string &path, const std::string &credentials) {
    return fetch_page("127.0.0.1", static_cast<uint16_t>(apache_->port()), path.c_str(),
                      credentials.c_str(), &page_);
  }

  static std::unique_ptr<testsupport::ApacheInstance> apache_;
  char *page_ = nullptr;
};

std::unique_ptr<testsupport::ApacheInstance> ApacheFetch::apache_;

TEST_F(ApacheFetch, StatusPageWithTheRightCredentials) {
  const int n = fetch("/server-status?auto", testsupport::basic_credentials(kUser, kPassword));
  ASSERT_GT(n, 0);
  const std::string page(page_);
  EXPECT_EQ(page.size(), static_cast<size_t>(n));
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page;
  for (const char *label :
       {"Total Accesses: ", "Uptime: ", "BusyWorkers: ", "IdleWorkers: ", "Scoreboard: "}) {
    EXPECT_NE(page.find(label), std::string::npos) << label << " missing in\n" << page;
  }
  // HTTP/1.0 without keep-alive: Apache closed the connection after the
  // page, so the call did not wait for the receive time-out.
  EXPECT_NE(page.find("Connection: close"), std::string::npos);
}

TEST_F(ApacheFetch, WrongCredentialsGiveTheWholeUnauthorizedAnswer) {
  const int n = fetch("/server-status?auto", testsupport::basic_credentials(kUser, "wrong"));
  ASSERT_GT(n, 0);
  const std::string page(page_);
  EXPECT_EQ(page.size(), static_cast<size_t>(n));
  EXPECT_EQ(page.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << page;
  EXPECT_NE(page.find("WWW-Authenticate: Basic"), std::string::npos);
  EXPECT_NE(page.find("</html>"), std::string::npos) << "body cut short:\n" << page;
}

TEST_F(ApacheFetch, InfoPageArrivesWhole) {
  const int n = fetch("/server-info", testsupport::basic_credentials(kUser, kPassword));
  ASSERT_GT(n, 0);
  const std::string page(page_);
  EXPECT_EQ(page.size(), static_cast<size_t>(n));
  EXPECT_NE(page.find("Server Version:"), std::string::npos);
  EXPECT_NE(page.find("</html>"), std::string::npos) << "page cut short";
}

TEST_F(ApacheFetch, RequestReachesTheAccessLogWithTheUser) {
  ASSERT_GT(fetch("/server-status?auto", testsupport::basic_credentials(kUser, kPassword)), 0);
  // Apache writes the log line after the answer; give it a moment.
  std::string log;
  for (int i = 0; i < 50; ++i) {
    log = testsupport::read_file(apache_->access_log());
    if (log.find("GET /server-status?auto HTTP/1.0\" 200") != std::string::npos) {
      break;
    }
    usleep(100 * 1000);
  }
  EXPECT_NE(log.find(std::string(" ") + kUser + " "), std::string::npos) << log;
  EXPECT_NE(log.find("\"GET /server-status?auto HTTP/1.0\" 200"), std::string::npos) << log;
}

} // namespace
