// fetch_page against servers that keep sending, slowly: the whole answer has
// the receive time-out to arrive, so no server holds the agent longer than a
// silent one does.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "collect/pages/fetch_page.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/scripted_server.h"

namespace {

using testsupport::ScriptChunk;
using testsupport::ScriptedServer;
using Clock = std::chrono::steady_clock;

class FetchPageDeadline : public ::testing::Test {
protected:
  void SetUp() override {
    fake_varnock::reset();
    fetch_page_set_receive_timeout(2);
  }
  void TearDown() override {
    fetch_page_set_receive_timeout(0);
    std::free(page_);
  }
  char *page_ = nullptr;
};

// A byte every 400 ms: each wait is far shorter than the receive time-out,
// so only the deadline of the whole answer ends the fetch.
std::vector<ScriptChunk> trickle(const std::string &text, int pause_ms) {
  std::vector<ScriptChunk> chunks;
  for (char c : text) {
    chunks.push_back({std::string(1, c), pause_ms});
  }
  return chunks;
}

TEST_F(FetchPageDeadline, TricklingServerIsCutOffWithWhatArrived) {
  const std::string answer = "HTTP/1.0 200 OK\r\n\r\nTotal Accesses: 12345\nUptime: 99\n";
  ScriptedServer server(trickle(answer, 400), ScriptedServer::End::Close);
  const auto start = Clock::now();
  const int n = fetch_page("127.0.0.1", static_cast<uint16_t>(server.port()), "/server-status?auto",
                           "dTpw", &page_);
  const double waited = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(waited, 1.9);
  EXPECT_LT(waited, 4.0) << "the answer would take " << answer.size() * 0.4 << " s";
  ASSERT_GT(n, 0);
  EXPECT_LT(n, static_cast<int>(answer.size()));
  EXPECT_EQ(std::string(page_), answer.substr(0, static_cast<size_t>(n)));
  bool logged = false;
  for (const fake_varnock::LogLine &line : fake_varnock::log()) {
    logged = logged || (line.level == VARNOCK_LOG_WARNING &&
                        line.text.find("took over 2 seconds") != std::string::npos);
  }
  EXPECT_TRUE(logged);
}

TEST_F(FetchPageDeadline, SlowButTimelyAnswerArrivesWhole) {
  const std::string answer = "HTTP/1.0 200 OK\r\n\r\nUptime: 99\n";
  ScriptedServer server({{answer.substr(0, 10), 0}, {answer.substr(10), 1200}},
                        ScriptedServer::End::Close);
  EXPECT_EQ(fetch_page("127.0.0.1", static_cast<uint16_t>(server.port()), "/server-status?auto",
                       "dTpw", &page_),
            static_cast<int>(answer.size()));
  EXPECT_EQ(std::string(page_), answer);
  for (const fake_varnock::LogLine &line : fake_varnock::log()) {
    EXPECT_NE(line.level, VARNOCK_LOG_WARNING) << line.text;
  }
}

TEST_F(FetchPageDeadline, SilentServersAreAwaitedTogetherAndTakenInListOrder) {
  const std::string answer = "HTTP/1.0 200 OK\r\n\r\nUptime: 99\n";
  const std::vector<ScriptChunk> nothing;
  ScriptedServer silent1(nothing, ScriptedServer::End::Silent);
  ScriptedServer good(ScriptedServer::whole(answer));
  ScriptedServer silent2(nothing, ScriptedServer::End::Silent);
  ScriptedServer trickling(trickle(answer, 400), ScriptedServer::End::Close);
  ScriptedServer silent3(nothing, ScriptedServer::End::Silent);
  const std::vector<int> ports = {silent1.port(), good.port(), silent2.port(), trickling.port(),
                                  silent3.port()};
  PageFetches fetches(ports.size());
  for (int port : ports) {
    fetches.add("127.0.0.1", static_cast<uint16_t>(port), "/server-status?auto", "dTpw");
  }
  const auto start = Clock::now();
  fetches.run();
  const double waited = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(waited, 1.9);
  EXPECT_LT(waited, 3.5) << "one receive time-out for every server, not one each";
  EXPECT_TRUE(fake_varnock::log().empty()) << "the lines wait until their answer is taken";

  // Each answer's lines come when it is taken, so the log reads in list
  // order, the trickling server's cut-off line among its own.
  std::vector<std::string> expected;
  for (size_t i = 0; i < ports.size(); ++i) {
    const char *page = nullptr;
    FetchEnd end = FETCH_NOT_SENT;
    const int n = fetches.take(i, &page, &end);
    const std::string where = "127.0.0.1:" + std::to_string(ports[i]);
    expected.push_back("contact webserver " + where);
    if (ports[i] == good.port()) {
      EXPECT_EQ(n, static_cast<int>(answer.size()));
      EXPECT_EQ(std::string(page), answer);
      EXPECT_EQ(end, FETCH_CLOSED);
    } else if (ports[i] == trickling.port()) {
      EXPECT_GT(n, 0);
      EXPECT_EQ(end, FETCH_TIMED_OUT);
      expected.push_back("answer from " + where + " took over 2 seconds");
    } else {
      EXPECT_EQ(n, 0) << where;
      EXPECT_EQ(page, nullptr) << where;
      EXPECT_EQ(end, FETCH_TIMED_OUT) << where;
    }
  }
  std::vector<std::string> seen;
  for (const fake_varnock::LogLine &line : fake_varnock::log()) {
    for (const char *part : {"contact webserver ", "answer from "}) {
      const size_t at = line.text.find(part);
      if (at != std::string::npos) {
        seen.push_back(line.text.substr(at, line.text.find_first_of(",\n", at) - at));
      }
    }
  }
  EXPECT_EQ(seen, expected);
}

} // namespace
