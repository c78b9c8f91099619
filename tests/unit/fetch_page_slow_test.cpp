// fetch_page with its real receive time-out: a server that falls silent
// part-way holds the call for the full 60 seconds, no longer.
#include "collect/pages/fetch_page.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/support/fake_varnock.h"
#include "tests/support/scripted_server.h"

namespace {

TEST(FetchPageSlow, SilentServerHoldsTheCallForTheFullTimeOut) {
  fake_varnock::reset();
  fetch_page_set_receive_timeout(0); // the default
  const std::string part = "HTTP/1.0 200 OK\r\n\r\nServerUptime";
  testsupport::ScriptedServer server(testsupport::ScriptedServer::whole(part),
                                     testsupport::ScriptedServer::End::Silent);
  char *page = nullptr;
  const auto start = std::chrono::steady_clock::now();
  const int n = fetch_page("127.0.0.1", static_cast<uint16_t>(server.port()), "/server-status?auto",
                           "dXNlcjpwYXNz", &page);
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(n, static_cast<int>(part.size()));
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(std::string(page), part);
  const double timeout = static_cast<double>(FETCH_PAGE_RECEIVE_TIMEOUT);
  EXPECT_GE(waited, timeout - 0.5);
  EXPECT_LT(waited, timeout + 10.0);
  std::free(page);
}

} // namespace
