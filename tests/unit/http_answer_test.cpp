// Which answers the collectors read: whole, successful HTTP answers only.
#include "collect/pages/http_answer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char *name;
  std::string answer;
  bool usable;
};

TEST(HttpAnswer, OnlyWholeSuccessfulAnswersAreRead) {
  const std::string nul_body("a\0b\0c", 5);
  const Case cases[] = {
      {"200 with a body", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nUptime: 5\n", true},
      {"HTTP/1.0, 204, no body", "HTTP/1.0 204 No Content\r\n\r\n", true},
      {"no reason phrase", "HTTP/1.1 200\r\n\r\nUptime: 5\n", true},
      {"bare newlines", "HTTP/1.1 200 OK\nServer: x\n\nUptime: 5\n", true},
      {"401", "HTTP/1.1 401 Unauthorized\r\n\r\n<h1>Unauthorized</h1>", false},
      {"404", "HTTP/1.1 404 Not Found\r\n\r\nUptime: 5\n", false},
      {"500", "HTTP/1.0 500 Internal Server Error\r\n\r\n", false},
      {"302", "HTTP/1.1 302 Found\r\nLocation: /login\r\n\r\n", false},
      {"no status line", "Total Accesses: 5\nUptime: 9\n", false},
      {"HTTP/0.9 style", "<html><body>Server Version: Apache/2.4.1</body></html>", false},
      {"four-digit code", "HTTP/1.1 2000 OK\r\n\r\n", false},
      {"short code", "HTTP/1.1 20\r\n\r\n", false},
      {"no version digits", "HTTP/x.1 200 OK\r\n\r\n", false},
      {"lower-case protocol", "http/1.1 200 OK\r\n\r\n", false},
      {"cut in the status line", "HTTP/1.1 200 O", false},
      {"cut in the header", "HTTP/1.1 200 OK\r\nContent-Type: text/pl", false},
      {"body as long as promised", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789", true},
      {"body longer than promised", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n0123", true},
      {"body cut short", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n01234", false},
      {"length in any case", "HTTP/1.1 200 OK\r\ncontent-LENGTH:   6\r\n\r\n01234", false},
      {"a length of no number", "HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n0", true},
      {"a length past any page",
       "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999999\r\n\r\n0", false},
      {"a length in the body is no header", "HTTP/1.1 200 OK\r\n\r\nContent-Length: 99\r\n", true},
      {"NUL bytes in a whole body", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n" + nul_body,
       true},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(http_answer_usable(c.answer.data(), static_cast<int>(c.answer.size())), c.usable)
        << c.name;
  }
  EXPECT_FALSE(http_answer_usable(nullptr, 10));
  EXPECT_FALSE(http_answer_usable("HTTP/1.1 200 OK\r\n\r\n", 0));
}

TEST(HttpAnswer, OnlyACloseOrTheWholeLengthShowsAnAnswerWhole) {
  const std::string open_ended = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nStartServers 7";
  const std::string measured = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc";
  const std::string short_of_it = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc";
  const auto whole = [](const std::string &a, FetchEnd end) {
    return http_answer_whole(a.data(), static_cast<int>(a.size()), end);
  };
  EXPECT_TRUE(whole(open_ended, FETCH_CLOSED));
  for (FetchEnd end : {FETCH_TIMED_OUT, FETCH_TOO_LONG, FETCH_READ_FAILED, FETCH_NO_MEMORY}) {
    EXPECT_FALSE(whole(open_ended, end)) << end;
    EXPECT_TRUE(whole(measured, end)) << end;
    EXPECT_FALSE(whole(short_of_it, end)) << end;
  }
  EXPECT_EQ(http_status_code(open_ended.data(), static_cast<int>(open_ended.size())), 200);
  EXPECT_EQ(http_status_code("HTTP/1.0 401 Unauthorized\r\n", 27), 401);
  EXPECT_EQ(http_status_code("HTTP/1.0 4011 x\r\n", 17), 0);
  EXPECT_EQ(http_status_code("garbage", 7), 0);
}

} // namespace
