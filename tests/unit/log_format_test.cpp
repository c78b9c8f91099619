#include "pluginlib/log_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

// Debian's apache2.conf logs bytes on the wire under combined and common.
const char kDebianCombined[] =
    "%h %l %u %t \\\"%r\\\" %>s %O \\\"%{Referer}i\\\" \\\"%{User-Agent}i\\\"";

LogFormat compiled(const char *format) {
  const char *nicknamed = log_format_nickname(format);
  LogFormat out;
  EXPECT_TRUE(log_format_compile(nicknamed != nullptr ? nicknamed : format, &out)) << format;
  return out;
}

// Parses from a heap block of exactly the line's size, so that the
// sanitizer build sees any read past its end.
bool parse(const LogFormat &format, const std::string &line, LogRecord *record) {
  std::unique_ptr<char[]> copy(new char[line.size()]);
  std::memcpy(copy.get(), line.data(), line.size());
  const bool ok = log_line_parse(format, copy.get(), line.size(), record);
  if (record->vhost != nullptr) {
    EXPECT_GE(record->vhost, copy.get());
    EXPECT_LE(record->vhost + record->vhostLength, copy.get() + line.size());
    record->vhost = line.data() + (record->vhost - copy.get());
  }
  return ok;
}

TEST(LogFormatTest, CompilesWhatItCanCount) {
  struct Case {
    const char *format;
    bool ok;
    uint32_t gives;
  } cases[] = {
      {"common", true, LOG_GIVES_STATUS | LOG_GIVES_BYTES},
      {"combined", true, LOG_GIVES_STATUS | LOG_GIVES_BYTES},
      {"combinedio", true, LOG_GIVES_STATUS | LOG_GIVES_BYTES},
      {"vhost_combined", true, LOG_GIVES_STATUS | LOG_GIVES_BYTES | LOG_GIVES_VHOST},
      {kDebianCombined, true, LOG_GIVES_STATUS | LOG_GIVES_BYTES},
      {"%V %D %s", true, LOG_GIVES_STATUS | LOG_GIVES_TIME | LOG_GIVES_VHOST},
      {"%{ms}T %{us}T", true, LOG_GIVES_TIME},
      {"%400,501{User-agent}i %!200,304r %^ti %>s", true, LOG_GIVES_STATUS},
      {"%{Referer}i -> %U", false, 0}, // "referer": nothing to count
      {"%h %l", false, 0},
      {"", false, 0},
      {"%>s %", false, 0},         // a lone '%'
      {"%{Referer %>s", false, 0}, // an unclosed brace
      {"%>s %?", false, 0},        // not a directive
      {"%>s\\n", false, 0},        // a record over two lines
  };
  for (const Case &c : cases) {
    const char *nicknamed = log_format_nickname(c.format);
    LogFormat format;
    EXPECT_EQ(log_format_compile(nicknamed != nullptr ? nicknamed : c.format, &format), c.ok)
        << c.format;
    EXPECT_EQ(format.gives, c.gives) << c.format;
  }
  EXPECT_STREQ(log_format_nickname("agent"), "%{User-agent}i");
  EXPECT_EQ(log_format_nickname("Combined"), nullptr);
  EXPECT_EQ(log_format_nickname(nullptr), nullptr);
}

TEST(LogFormatTest, ParsesLines) {
  const std::string request = "\"GET /a?b=c HTTP/1.1\"";
  const std::string tail = " \"http://ref/\" \"Mozilla/5.0 (X11; Linux)\"";
  struct Case {
    const char *format;
    std::string line;
    bool ok;
    int32_t status = 0;
    uint64_t bytes = 0;
    uint64_t micros = 0;
    const char *vhost = nullptr;
  } cases[] = {
      {"common", "::1 - - [09/Dec/2026:22:17:04 +0000] " + request + " 200 512", true, 200, 512, 0,
       nullptr},
      {"common", "::1 - - [09/Dec/2026:22:17:04 +0000] " + request + " 304 -", true, 304, 0, 0,
       nullptr},
      {"combined", "10.0.0.1 - bob [09/Dec/2026:22:17:04 +0000] " + request + " 404 12" + tail,
       true, 404, 12, 0, nullptr},
      // Quotes and backslashes that Apache escaped inside quoted fields.
      {"combined", "1.2.3.4 - - [t] \"GET /x\\\" \\\"y HTTP/1.0\" 500 1 \"a\\\"b\" \"ua \\\\\"",
       true, 500, 1, 0, nullptr},
      {"combined", "1.2.3.4 - - [t] \"GET /\\\\\" 201 7 \"-\" \"-\"", true, 201, 7, 0, nullptr},
      {"combined", "1.2.3.4 - - [t] \"\" 200 0 \"\" \"\"\r", true, 200, 0, 0, nullptr},
      {kDebianCombined, "h - - [t] " + request + " 599 18446744073709551615" + tail, true, 599,
       18446744073709551615u, 0, nullptr},
      {"vhost_combined", "www.example.org:443 h - - [t] " + request + " 100 9" + tail, true, 100, 9,
       0, "www.example.org"},
      {"%v %h \\\"%r\\\" %>s %b %D", "shop.test h " + request + " 503 - 250123", true, 503, 0,
       250123, "shop.test"},
      {"%>s %T", "200 3", true, 200, 0, 3000000, nullptr},
      {"%>s %{ms}T", "200 250", true, 200, 0, 250000, nullptr},
      {"%>s %{us}T %T", "200 17 0", true, 200, 0, 17, nullptr}, // the finer time wins
      {"%s %>s %B", "302 200 5", true, 200, 5, 0, nullptr},     // the final status wins
      {"%>s%b", "200 5", true, 200, 5, 0, nullptr},             // a blank parts them
      {"%%%>s%% %b", "%200% 5", true, 200, 5, 0, nullptr},
      {"\\t%>s", "\t200", true, 200, 0, 0, nullptr},
      // Not understood.
      {"combined", "", false},
      {"combined", "1.2.3.4 - - [t] " + request + " 200", false},
      {"combined", "1.2.3.4 - - [t] " + request + " 200 12" + tail + " more", false},
      {"common", "1.2.3.4 - - [t] " + request + " 200 12" + tail, false},
      {"combined", "1.2.3.4 - - [t] " + request + " 099 1" + tail, false},
      {"combined", "1.2.3.4 - - [t] " + request + " 600 1" + tail, false},
      {"combined", "1.2.3.4 - - [t] " + request + " 2000 1" + tail, false},
      {"combined", "1.2.3.4 - - [t] " + request + " 20x 1" + tail, false},
      {"combined", "1.2.3.4 - - [t] " + request + " 200 1x" + tail, false},
      {"combined", "1.2.3.4 - - [t] " + request + " 200 18446744073709551616" + tail, false},
      {"combined", "1.2.3.4 - - [t] \"GET / HTTP/1.1\\\" 200 1" + tail, false},
      {"combined", std::string("1.2.3.4 - - [t] \"GET\0/\" 200\0 1", 30) + tail, false},
      {"combined", "\x01\xff\x7f garbage \" \" \" [", false},
      {"%>s %T", "200 18446744073710", false}, // too many microseconds
  };
  for (const Case &c : cases) {
    const LogFormat format = compiled(c.format);
    LogRecord record;
    EXPECT_EQ(parse(format, c.line, &record), c.ok) << c.format << " | " << c.line;
    if (!c.ok) {
      continue;
    }
    EXPECT_EQ(record.status, c.status) << c.line;
    EXPECT_EQ(record.bytes, c.bytes) << c.line;
    EXPECT_EQ(record.micros, c.micros) << c.line;
    EXPECT_EQ(record.vhost == nullptr ? std::string("(none)")
                                      : std::string(record.vhost, record.vhostLength),
              c.vhost == nullptr ? "(none)" : c.vhost)
        << c.line;
  }
}

TEST(LogFormatTest, LongLinesStayWithinTheirBytes) {
  const LogFormat combined = compiled("combined");
  const LogFormat vhost = compiled("%v %>s");
  LogRecord record;
  // 16 MiB of one byte, of NULs, of quotes and of backslashes.
  for (const char fill : {'a', '\0', '"', '\\', ' '}) {
    const std::string line(16u << 20, fill);
    EXPECT_FALSE(parse(combined, line, &record)) << int(fill);
    EXPECT_FALSE(parse(vhost, line, &record)) << int(fill);
  }
  // A request line of 16 MiB is still one request.
  const std::string line =
      "h - - [t] \"GET /" + std::string(16u << 20, 'x') + " HTTP/1.1\" 200 3 \"-\" \"-\"";
  EXPECT_TRUE(parse(combined, line, &record));
  EXPECT_EQ(record.bytes, 3u);
}

} // namespace
