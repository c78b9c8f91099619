// Which answers the collectors read: whole, successful HTTP answers only.
#include "collect/http_answer.h"

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

} // namespace
