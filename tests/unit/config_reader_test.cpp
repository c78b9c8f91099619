#include "config/read_config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/server_list.h"
#include "platform/proc_table.h"
#include "pluginlib/log_format.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/process.h"

namespace {

using Log = std::vector<std::pair<int, std::string>>;

class ConfigReaderTest : public ::testing::Test {
protected:
  void SetUp() override {
    fake_varnock::reset();
    free_server_list();
  }
  void TearDown() override { free_server_list(); }

  // Writes content as an owner-only ostrik.cf and reads it; keeps what went
  // to the standard error stream and the log.
  int read(const std::string &content, mode_t mode = 0600) {
    testsupport::write_file(path(), content);
    EXPECT_EQ(chmod(path().c_str(), mode), 0);
    fake_varnock::clear_log();
    testing::internal::CaptureStderr();
    const int result = read_config(path().c_str());
    err_ = testing::internal::GetCapturedStderr();
    return result;
  }

  std::string path() const { return dir_.file("ostrik.cf"); }

  static Log log() {
    Log out;
    for (const auto &line : fake_varnock::log()) {
      out.emplace_back(line.level, line.text);
    }
    return out;
  }

  static std::vector<int32_t> ports() {
    std::vector<int32_t> out;
    for (const ServerEntry *e = server_list; e != nullptr; e = e->next) {
      out.push_back(e->port);
    }
    return out;
  }

  testsupport::TempDir dir_;
  std::string err_;
};

TEST_F(ConfigReaderTest, AcceptedLinesBecomeEntries) {
  ASSERT_EQ(read("apache 8080 admin secret 3600\n"
                 "apache 80 Aladdin 'open sesame' 0\n"),
            0);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(log(), Log{});
  EXPECT_EQ(ports(), (std::vector<int32_t>{80, 8080}));

  const ServerEntry *e = find_server(8080);
  EXPECT_STREQ(e->user, "admin");
  EXPECT_STREQ(e->password, "secret");
  EXPECT_STREQ(e->credentials, "YWRtaW46c2VjcmV0");
  EXPECT_EQ(e->fileCheckInterval, 3600);
  EXPECT_EQ(e->lastDocScan, 0);
  EXPECT_EQ(e->pid, 0);
  EXPECT_STREQ(e->version, "");

  e = find_server(80);
  EXPECT_STREQ(e->password, "open sesame");
  EXPECT_STREQ(e->credentials, "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST_F(ConfigReaderTest, KeywordInAnyCase) {
  ASSERT_EQ(read("apache 1 u p 0\nAPACHE 2 u p 0\nApache 3 u p 0\naPaChE 4 u p 0\n"), 0);
  EXPECT_EQ(ports(), (std::vector<int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(err_, "");
}

TEST_F(ConfigReaderTest, FieldsSeparatedByTabsAndQuotes) {
  ASSERT_EQ(read("\tapache\t80\tuser\tpass\t60\n"
                 "apache '81' \"user name\" 'pa\"ss word' 0\n"
                 "apache 82 u '' 0\n"
                 "apache 83 '#' \"#\" 0 trailing fields # and a comment\n"),
            0);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(ports(), (std::vector<int32_t>{80, 81, 82, 83}));
  EXPECT_STREQ(find_server(80)->password, "pass");
  EXPECT_EQ(find_server(80)->fileCheckInterval, 60);
  EXPECT_STREQ(find_server(81)->user, "user name");
  EXPECT_STREQ(find_server(81)->password, "pa\"ss word");
  // An empty password: the credentials are those of "u:".
  EXPECT_STREQ(find_server(82)->password, "");
  EXPECT_STREQ(find_server(82)->credentials, "dTo=");
  EXPECT_STREQ(find_server(83)->user, "#");
  EXPECT_STREQ(find_server(83)->password, "#");
}

TEST_F(ConfigReaderTest, EveryRejectedLineIsReportedWithItsLineNumber) {
  struct Case {
    const char *line;
    const char *err;
    Log log;
  };
  const Case cases[] = {
      {"apach 80 u p 0",
       "varnock: Unexpected value - found 'apach' in config file, line 3\n",
       {{VARNOCK_LOG_ERR, "varnock: Unexpected value - found 'apach' in config file, line 3"},
        {VARNOCK_LOG_WARNING, "ostrik: Unexpected value"}}},
      {"'apache x' 80 u p 0",
       "varnock: Unexpected value - found 'apache x' in config file, line 3\n",
       {{VARNOCK_LOG_ERR, "varnock: Unexpected value - found 'apache x' in config file, line 3"},
        {VARNOCK_LOG_WARNING, "ostrik: Unexpected value"}}},
      {"apache",
       "varnock: Port number expected in ostrik - found 'apache' in config file, line 3\n",
       {{VARNOCK_LOG_ERR,
         "varnock: Port number expected in ostrik - found 'apache' in config file, line 3"}}},
      {"  APACHE   80 ",
       "varnock: Username expected in ostrik - found 'APACHE' in config file, line 3\n",
       {{VARNOCK_LOG_ERR,
         "varnock: Username expected in ostrik - found 'APACHE' in config file, line 3"},
        {VARNOCK_LOG_WARNING, "ostrik: username expected in ostrik"}}},
      {"apache 80 u",
       "varnock: Password expected in ostrik - found 'apache' in config file, line 3\n",
       {{VARNOCK_LOG_ERR,
         "varnock: Password expected in ostrik - found 'apache' in config file, line 3"},
        {VARNOCK_LOG_WARNING, "ostrik: Password expected in ostrik"}}},
      {"apache 80 u '",
       "varnock: Password expected in ostrik - found 'apache' in config file, line 3\n",
       {{VARNOCK_LOG_ERR,
         "varnock: Password expected in ostrik - found 'apache' in config file, line 3"},
        {VARNOCK_LOG_WARNING, "ostrik: Password expected in ostrik"}}},
      {"apache 80 u p",
       "varnock: File check interval expected in ostrik - found 'apache' in config file, line "
       "3\n",
       {{VARNOCK_LOG_ERR,
         "varnock: File check interval expected in ostrik - found 'apache' in config file, "
         "line 3"},
        {VARNOCK_LOG_WARNING, "ostrik: File check interval expected in ostrik"}}},
      {"apache 80 u p\t",
       "varnock: File check interval expected in ostrik - found 'apache' in config file, line "
       "3\n",
       {{VARNOCK_LOG_ERR,
         "varnock: File check interval expected in ostrik - found 'apache' in config file, "
         "line 3"},
        {VARNOCK_LOG_WARNING, "ostrik: File check interval expected in ostrik"}}},
      {"discover u",
       "varnock: Password expected after the discover user - found 'u' in config file, line 3\n",
       {{VARNOCK_LOG_ERR, "varnock: Password expected after the discover user - found 'u' in "
                          "config file, line 3"}}},
      {"Discover u p x",
       "varnock: Unknown option (timeout=, ca=, insecure, owner=, ports=) - found 'x' in config "
       "file, line "
       "3\n",
       {{VARNOCK_LOG_ERR,
         "varnock: Unknown option (timeout=, ca=, insecure, owner=, ports=) - found 'x' in "
         "config file, line 3"}}},
  };
  for (const Case &c : cases) {
    SetUp();
    // Two lines before: a comment and an empty line, both counted.
    ASSERT_EQ(read(std::string("# servers\n\n") + c.line + "\napache 9000 u p 0\n"), 0);
    EXPECT_EQ(err_, c.err) << c.line;
    EXPECT_EQ(log(), c.log) << c.line;
    EXPECT_EQ(ports(), std::vector<int32_t>{9000}) << "reading goes on after: " << c.line;
  }
}

// A discover line sets discovery and its credentials; a second one is
// reported and changes nothing. Without one, discovery is off.
TEST_F(ConfigReaderTest, DiscoverLineSetsDiscoveryOnce) {
  ASSERT_EQ(read("discover\napache 80 u p 0\n"), 0);
  EXPECT_EQ(discover_setting.enabled, 1);
  EXPECT_STREQ(discover_setting.credentials, "");
  ASSERT_EQ(read("DISCOVER mon s3cret\ndiscover\n"), 0);
  EXPECT_EQ(discover_setting.enabled, 1);
  EXPECT_STREQ(discover_setting.user, "mon");
  EXPECT_STREQ(discover_setting.credentials, "bW9uOnMzY3JldA==");
  EXPECT_NE(err_.find("discover given twice; the first line counts - found 'discover' in config "
                      "file, line 2"),
            std::string::npos)
      << err_;
  ASSERT_EQ(read("apache 80 u p 0\n"), 0);
  EXPECT_EQ(discover_setting.enabled, 0);

  // The options of a server line, after the account or without one; the
  // file's time-out when the line sets none.
  ASSERT_EQ(read("discover ca=/etc/ssl/certs\ntimeout 4\n"), 0);
  EXPECT_STREQ(discover_setting.reach.ca, "/etc/ssl/certs");
  EXPECT_EQ(discover_setting.reach.timeout, 4);
  EXPECT_STREQ(discover_setting.credentials, "");
  ASSERT_EQ(read("timeout 4\ndiscover mon s3cret timeout=9 insecure # checked by hand\n"), 0);
  EXPECT_EQ(err_, "");
  EXPECT_STREQ(discover_setting.user, "mon");
  EXPECT_EQ(discover_setting.reach.timeout, 9);
  EXPECT_EQ(discover_setting.reach.insecure, 1);
  EXPECT_EQ(log(), (Log{{VARNOCK_LOG_WARNING, "ostrik: line 2: the certificates of the servers "
                                              "discovery finds are not verified (insecure)\n"}}));

  // ports= limits the look to the ports listed; without it, every port.
  EXPECT_EQ(discover_setting.portCount, 0);
  ASSERT_EQ(read("discover mon s3cret ports=8080,443 timeout=9\n"), 0);
  EXPECT_EQ(err_, "");
  ASSERT_EQ(discover_setting.portCount, 2);
  EXPECT_EQ(discover_setting.ports[0], 8080);
  EXPECT_EQ(discover_setting.ports[1], 443);
  EXPECT_EQ(discover_setting.reach.timeout, 9);

  // owner= names the one user besides root trusted with the credentials,
  // looked up now; without it, root alone.
  EXPECT_EQ(discover_setting.reach.ownerSet, 0);
  ASSERT_EQ(read("discover owner=nobody\nserver http://127.0.0.1:81 u p 0 owner=daemon\n"), 0);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(discover_setting.reach.ownerSet, 1);
  EXPECT_EQ(static_cast<int64_t>(discover_setting.reach.ownerUid), platform_user_id("nobody"));
  EXPECT_EQ(find_server(81)->reach.ownerSet, 1);
  EXPECT_EQ(find_server(81)->reach.ownerUid, 1u); // daemon
}

TEST_F(ConfigReaderTest, LengthRuleOnUserPlusPassword) {
  const std::string user(50, 'u');
  const std::string pass44(44, 'p'); // 50 + 1 + 44 = 95 characters: accepted
  const std::string pass45(45, 'p'); // 96: refused
  ASSERT_EQ(read("apache 80 " + user + " " + pass44 + " 0\n" + "apache 81 " + user + " " + pass45 +
                 " 0\n" + "apache 82 " + user + " " + std::string(43, 'p') + " 0\n"),
            0);
  EXPECT_EQ(err_, "varnock: Username plus password can not be longer than 95 characters - found '" +
                      user + "' in config file, line 2\n");
  EXPECT_EQ(log(),
            (Log{{VARNOCK_LOG_ERR, "varnock: Username plus password can not be longer than 95 "
                                   "characters - found '" +
                                       user + "' in config file, line 2"},
                 {VARNOCK_LOG_ERR,
                  "ostrik: Username plus password can not be longer than 95 characters"}}));
  EXPECT_EQ(ports(), (std::vector<int32_t>{80, 82}));

  // 94 and 95 characters both give 128 characters of Base64, stored whole.
  for (int32_t port : {80, 82}) {
    const ServerEntry *e = find_server(port);
    const std::string credentials = e->credentials;
    ASSERT_EQ(credentials.size(), 128u) << port;
    EXPECT_EQ(credentials.substr(0, 8), "dXV1dXV1") << port;
  }
  EXPECT_EQ(std::string(find_server(80)->credentials).substr(124), "cHA=");
  EXPECT_EQ(std::string(find_server(82)->credentials).substr(124), "cA==");
  EXPECT_EQ(std::string(find_server(80)->password), pass44);
}

TEST_F(ConfigReaderTest, BadPortsAreDroppedSilently) {
  ASSERT_EQ(read("apache 0 u p 0\n"
                 "apache -80 u p 0\n"
                 "apache http u p 0\n"
                 "apache '' u p 0\n"
                 "apache 80abc first p 0\n"
                 "apache 80 second p 0\n"
                 "apache +81 u p 0\n"
                 "apache 70000 u p 0\n"
                 "apache 99999999999 u p 0\n"
                 "apache -99999999999 u p 0\n"),
            0);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(log(), Log{});
  EXPECT_EQ(ports(), (std::vector<int32_t>{80, 81, 70000, INT32_MAX}));
  EXPECT_STREQ(find_server(80)->user, "first") << "the first line with a port stays";
}

TEST_F(ConfigReaderTest, FileCheckIntervalConversion) {
  ASSERT_EQ(read("apache 1 u p 0\napache 2 u p -5\napache 3 u p never\napache 4 u p 300s\n"), 0);
  EXPECT_EQ(find_server(1)->fileCheckInterval, 0);
  EXPECT_EQ(find_server(2)->fileCheckInterval, -5);
  EXPECT_EQ(find_server(3)->fileCheckInterval, 0);
  EXPECT_EQ(find_server(4)->fileCheckInterval, 300);
}

TEST_F(ConfigReaderTest, SkippedLinesCountTowardLineNumbers) {
  ASSERT_EQ(read("# comment\n"
                 "\n"
                 "    \t \n"
                 "   # indented comment\n"
                 "\t#apache 80 u p 0\n"
                 "bad\n"),
            0);
  EXPECT_EQ(err_, "varnock: Unexpected value - found 'bad' in config file, line 6\n");
  EXPECT_EQ(ports(), std::vector<int32_t>{});
}

TEST_F(ConfigReaderTest, PiecesOfAnOverlongLineAreLinesOfTheirOwn) {
  // The first 510 characters are a comment; the rest of the line is read as
  // the next line, and it is a valid one. (Built with append: "#" +
  // std::string(...) draws a false -Wrestrict report from GCC 12 at -O3.)
  const std::string overlong = std::string("#").append(509, '-').append("apache 8080 u p 0\n");
  // A 510-character line: its line feed is a (skipped) line of its own.
  const std::string exact = std::string("apache 81 u p 0 ").append(494, 'x').append("\n");
  ASSERT_EQ(exact.size(), 511u);
  ASSERT_EQ(read(overlong + exact + "wrong\n"), 0);
  EXPECT_EQ(ports(), (std::vector<int32_t>{81, 8080}));
  EXPECT_EQ(err_, "varnock: Unexpected value - found 'wrong' in config file, line 5\n");
}

TEST_F(ConfigReaderTest, LinesEndingInCrLfReadAsInTextMode) {
  // 509 characters and CR LF: one piece, as text mode reads it.
  const std::string exact = std::string("apache 82 u p 0 ").append(493, 'x').append("\r\n");
  ASSERT_EQ(read("# servers\r\n"
                 "\r\n"
                 "apache 80 u p \r\n" // lacks its interval
                 "apache 81 u p 60\r\n" +
                 exact + "bad\r\n"),
            0);
  EXPECT_EQ(err_,
            "varnock: File check interval expected in ostrik - found 'apache' in config file, "
            "line 3\n"
            "varnock: Unexpected value - found 'bad' in config file, line 6\n");
  EXPECT_EQ(ports(), (std::vector<int32_t>{81, 82}));
  EXPECT_EQ(find_server(81)->fileCheckInterval, 60);
}

TEST_F(ConfigReaderTest, StrangeLinesNeverOverrunABuffer) {
  std::string content;
  content += std::string(5000, 'x') + "\n";                    // ten pieces of one field
  content += "apache 90 " + std::string(3000, 'u') + " p 0\n"; // the user is cut by the pieces
  for (int i = 0; i < 100; ++i) {
    content += "'' ";
  }
  content += "\n";
  content += std::string("apache 91 u\0p 0\n", 16);
  content += "\xff\xfe\x80 \x01\x02\n";
  content += "apache 92 u p 0 " + std::string(60, 'x') + std::string(200, ' ') + "\n";
  ASSERT_EQ(read(content), 0);
  EXPECT_EQ(ports(), std::vector<int32_t>{92});
  // Lines 1-10: the pieces of the first line; 11-16 those of the second; then
  // one line each. Every line but the last is rejected, each once.
  EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 19);
  EXPECT_NE(err_.find("Password expected in ostrik - found 'apache' in config file, line 11\n"),
            std::string::npos);
  EXPECT_NE(err_.find("Unexpected value - found '' in config file, line 17\n"), std::string::npos);
  EXPECT_NE(err_.find("Password expected in ostrik - found 'apache' in config file, line 18\n"),
            std::string::npos);
}

TEST_F(ConfigReaderTest, EmptyAndCommentOnlyFilesLeaveTheListEmpty) {
  for (const char *content : {"", "# nothing\n#\n\n", "\n\n\n"}) {
    EXPECT_EQ(read(content), 0);
    EXPECT_EQ(server_list, nullptr);
    EXPECT_EQ(err_, "");
    EXPECT_EQ(log(), Log{});
  }
}

TEST_F(ConfigReaderTest, MissingFileOrADirectoryIsReportedAndLeavesTheListEmpty) {
  // A directory cannot be read as a file: no warning about who may read it.
  const std::string directory = dir_.file("ostrik.d");
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  for (const std::string &path : {dir_.file("missing.cf"), directory}) {
    fake_varnock::clear_log();
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_config(path.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "varnock: unable to open file " + path + "\n");
    EXPECT_EQ(log(), (Log{{VARNOCK_LOG_ERR,
                           "varnock: unable to open ostrik config file " + path + "\n"}}));
    EXPECT_EQ(server_list, nullptr);
  }
}

TEST_F(ConfigReaderTest, NullPathIsRefusedQuietly) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_config(nullptr), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(log(), Log{});
}

TEST_F(ConfigReaderTest, AFileReadableByOthersIsReadWithOneWarning) {
  const std::string warning =
      "ostrik: config file " + path() + " is readable by other users; it holds passwords";
  for (mode_t mode : {0644, 0640, 0604}) {
    SetUp();
    ASSERT_EQ(read("apache 80 u p 0\nbad\n", mode), 0) << std::oct << mode;
    EXPECT_EQ(ports(), std::vector<int32_t>{80});
    const Log got = log();
    ASSERT_EQ(got.size(), 3u) << std::oct << mode;
    EXPECT_EQ(got[0], (std::pair<int, std::string>{4, warning}));
    EXPECT_EQ(got[2],
              (std::pair<int, std::string>{VARNOCK_LOG_WARNING, "ostrik: Unexpected value"}));
  }
  for (mode_t mode : {0600, 0400, 0700}) {
    SetUp();
    ASSERT_EQ(read("apache 80 u p 0\n", mode), 0);
    EXPECT_EQ(log(), Log{}) << std::oct << mode;
  }
}

TEST_F(ConfigReaderTest, ReadingAgainAddsNothingAlreadyListed) {
  const std::string content = "apache 80 first p 0\napache 443 u p 0\n";
  ASSERT_EQ(read(content), 0);
  testsupport::write_file(path(), "apache 80 second p 0\napache 8080 u p 0\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_config(path().c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(ports(), (std::vector<int32_t>{80, 443, 8080}));
  EXPECT_STREQ(find_server(80)->user, "first");
}

TEST_F(ConfigReaderTest, ServerLinesNameAddressSchemeAndTimeOut) {
  ASSERT_EQ(read("timeout 7\n"
                 "server http://127.0.0.2:8081 u p 0\n"
                 "SERVER https://[::1]:8443/ u p 60 timeout=5 ca=/etc/ssl/certs # a comment\n"
                 "server https://localhost u p 0 insecure\n"
                 "server http://www.example.test:8082 u p 0 address=::ffff:127.0.0.1\n"
                 "apache 80 u p 0\n"
                 "logformat timed \"%h %l %u %t \\\"%r\\\" %>s %b %D\"\n"
                 "LogFormat  bare   %h  %>s %D \t\n"
                 "server http://127.0.0.1:8083 u p 0 log=/var/log/a.log logformat=timed\n"
                 "server http://127.0.0.1:8084 u p 0 logformat=bare log=C:\\logs\\b.log\n"
                 "server http://127.0.0.1:8085 u p 0 log=/var/log/c.log logformat=combined\n"),
            0);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(log(), (Log{{VARNOCK_LOG_WARNING, "ostrik: line 4: the certificate of "
                                              "https://localhost is not verified (insecure)\n"}}));
  EXPECT_EQ(ports(), (std::vector<int32_t>{80, 443, 8081, 8082, 8083, 8084, 8085, 8443}));

  const ServerReach &plain = find_server(8081)->reach;
  EXPECT_EQ(plain.scheme, SCHEME_HTTP);
  EXPECT_EQ(plain.address.family, PLATFORM_IPV4);
  EXPECT_EQ(plain.address.bytes[3], 2);
  EXPECT_STREQ(plain.host, "127.0.0.2");
  EXPECT_EQ(plain.timeout, 7) << "the file's time-out";
  EXPECT_STREQ(plain.logPath, "");
  EXPECT_STREQ(plain.logFormat, "");

  // Access logs named by hand, their formats resolved as the lines are read.
  EXPECT_STREQ(find_server(8083)->reach.logPath, "/var/log/a.log");
  EXPECT_STREQ(find_server(8083)->reach.logFormat, "%h %l %u %t \\\"%r\\\" %>s %b %D");
  EXPECT_STREQ(find_server(8084)->reach.logPath, "C:\\logs\\b.log");
  EXPECT_STREQ(find_server(8084)->reach.logFormat, "%h  %>s %D");
  EXPECT_STREQ(find_server(8085)->reach.logFormat, log_format_nickname("combined"));

  const ServerReach &v6 = find_server(8443)->reach;
  EXPECT_EQ(v6.scheme, SCHEME_HTTPS);
  EXPECT_EQ(v6.address.family, PLATFORM_IPV6);
  EXPECT_STREQ(v6.host, "::1");
  EXPECT_EQ(v6.timeout, 5);
  EXPECT_STREQ(v6.ca, "/etc/ssl/certs");
  EXPECT_EQ(find_server(8443)->fileCheckInterval, 60);

  const ServerReach &named = find_server(443)->reach;
  EXPECT_EQ(named.insecure, 1);
  EXPECT_STREQ(named.host, "localhost");
  EXPECT_NE(named.address.family, 0) << "looked up as the line was read";

  EXPECT_STREQ(find_server(8082)->reach.host, "www.example.test") << "the name asked for";
  EXPECT_EQ(find_server(8082)->reach.address.family, PLATFORM_IPV6);

  // An apache line reads as it always did: 127.0.0.1 over HTTP.
  EXPECT_EQ(find_server(80)->reach.address.family, 0);
  EXPECT_EQ(find_server(80)->reach.timeout, 7);

  // An address of one of the machine's interfaces, not loopback, is local.
  ifaddrs *list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  std::string own;
  for (const ifaddrs *i = list; i != nullptr && own.empty(); i = i->ifa_next) {
    char text[INET_ADDRSTRLEN];
    if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr, text,
                  sizeof text) != nullptr &&
        std::string(text).rfind("127.", 0) != 0) {
      own = text;
    }
  }
  freeifaddrs(list);
  if (!own.empty()) {
    SetUp();
    ASSERT_EQ(read("server http://" + own + ":8090 u p 0\n"), 0);
    EXPECT_EQ(err_, "") << own;
    EXPECT_EQ(ports(), std::vector<int32_t>{8090});
  }
}

TEST_F(ConfigReaderTest, MalformedServerAndTimeOutLinesAreRefusedAndReadingGoesOn) {
  const std::pair<const char *, const char *> cases[] = {
      {"server", "URL expected in ostrik - found 'server'"},
      {"server http://127.0.0.1:81 u", "Password expected in ostrik - found 'server'"},
      {"server ftp://127.0.0.1:81 u p 0", "URL must begin with http:// or https://"},
      {"server 127.0.0.1:81 u p 0", "URL must begin with http:// or https://"},
      {"server http://[::1:81 u p 0", "IPv6 address without its closing bracket"},
      {"server http://:81 u p 0", "URL without a host"},
      {"server http://ex_ample:81 u p 0", "Host must be an address or a name"},
      {"server http://127.0.0.1:0 u p 0", "Port must be a number from 1 to 65535"},
      {"server http://127.0.0.1:65536 u p 0", "Port must be a number from 1 to 65535"},
      {"server http://127.0.0.1: u p 0", "Port must be a number from 1 to 65535"},
      {"server http://127.0.0.1:81x u p 0", "URL must name no path"},
      {"server http://127.0.0.1:81/server-status u p 0", "URL must name no path"},
      {"server http://198.51.100.7:81 u p 0", "Not an address of this machine - found "
                                              "'198.51.100.7'"},
      {"server http://[2001:db8::7]:81 u p 0", "Not an address of this machine"},
      {"server http://0.0.0.0:81 u p 0", "Not an address of this machine"},
      {"server http://127.0.0.1:81 u p 0 timeout=0", "Time-out must be whole seconds from 1 to 60 "
                                                     "- found 'timeout=0'"},
      {"server http://127.0.0.1:81 u p 0 timeout=61", "Time-out must be whole seconds"},
      {"server http://127.0.0.1:81 u p 0 timeout=2s", "Time-out must be whole seconds"},
      {"server http://127.0.0.1:81 u p 0 ca=", "CA file or directory expected"},
      {"server http://127.0.0.1:81 u p 0 insecure", "ca= and insecure are for https URLs only"},
      {"server https://127.0.0.1:81 u p 0 insecure ca=/x", "insecure and ca= exclude each other"},
      {"server https://127.0.0.1:81 u p 0 verify=no", "Unknown option"},
      {"server http://127.0.0.1:81 u p 0 address=127.1", "Address must be an IPv4 or IPv6"},
      {"server http://127.0.0.1:81 u p 0 address=198.51.100.7", "Not an address of this machine"},
      {"server http://127.0.0.1:9000 u p 0", "Port already listed"},
      {"server http://127.0.0.1:81 u p 0 log=logs/access.log", "Access log must be an absolute"},
      {"server http://127.0.0.1:81 u p 0 logformat=common", "logformat= needs log= - found 'http"},
      {"server http://127.0.0.1:81 u p 0 log=/a logformat=timed", "Log format not known (a "
                                                                  "well-known nickname or a "
                                                                  "logformat line above) - found "
                                                                  "'logformat=timed'"},
      {"server http://127.0.0.1:81 u p 0 log=/a logformat=t\nlogformat t %h",
       "Log format not known"},
      {"logformat t", "Name and format expected after logformat - found 'logformat'"},
      {"logformat t \"\"", "Name and format expected after logformat"},
      {"logformat t %h\nlogformat t %s", "Log format already defined - found 't' in config file, "
                                         "line 4"},
      {"discover timeout=0", "Time-out must be whole seconds from 1 to 60 - found 'timeout=0'"},
      {"discover u p ca=", "CA file or directory expected - found 'ca='"},
      {"discover insecure ca=/x", "insecure and ca= exclude each other - found 'discover'"},
      {"discover u p address=127.0.0.2",
       "Unknown option (timeout=, ca=, insecure, owner=, ports=) - found"},
      {"discover u timeout=5", "Password expected after the discover user - found 'u'"},
      {"discover ports=80,,81", "ports= takes ports from 1 to 65535 separated by commas (at most "
                                "64) - found 'ports=80,,81'"},
      {"discover ports=65536", "ports= takes ports"},
      {"discover ports=", "ports= takes ports"},
      {"discover owner=no-such-user-here", "owner= names no user of this machine - found "
                                           "'owner=no-such-user-here'"},
      {"server http://127.0.0.1:81 u p 0 owner=", "owner= names no user"},
      {"timeout", "Time-out expected in ostrik - found 'timeout'"},
      {"timeout 0", "Time-out must be whole seconds from 1 to 60 - found '0'"},
      {"timeout -5", "Time-out must be whole seconds"},
      {"timeout 5\ntimeout 6", "Time-out already set - found '6' in config file, line 4"},
  };
  for (const auto &c : cases) {
    SetUp();
    // The good line comes first, so that a repeated port has one to repeat.
    ASSERT_EQ(read(std::string("apache 9000 u p 0\n\n") + c.first + "\napache 9001 u p 0\n"), 0);
    EXPECT_NE(err_.find(c.second), std::string::npos) << c.first << "\n" << err_;
    if (std::string(c.second).find(" line ") == std::string::npos) {
      EXPECT_NE(err_.find(" line 3\n"), std::string::npos) << c.first << "\n" << err_;
    }
    EXPECT_EQ(ports(), (std::vector<int32_t>{9000, 9001})) << c.first;
  }
  // A server line's port repeated by a later line of either kind.
  SetUp();
  ASSERT_EQ(read("server http://127.0.0.1:81 u p 0\nserver http://[::1]:81 u p 0\n"
                 "apache 81 u p 0\n"),
            0);
  EXPECT_EQ(err_, "varnock: Port already listed - found 'http://[::1]:81' in config file, line 2\n"
                  "varnock: Port already listed - found '81' in config file, line 3\n");
  EXPECT_EQ(find_server(81)->reach.address.family, PLATFORM_IPV4);
}

} // namespace
